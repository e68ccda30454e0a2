#include "audiocore/install/InstallFiles.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::installfiles {

std::optional<std::uint64_t> availableCapacity(const fs::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
    if (info.f_frsize == 0 && info.f_bsize == 0) return std::nullopt;
    const std::uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    return static_cast<std::uint64_t>(info.f_bavail) * unit;
}

void writeFileAtomically(const fs::path& path, const std::string& text) {
    WorkingFile file(path.parent_path(), "install", "");
    {
        FileDescriptor out = FileDescriptor::open(file.path(), O_WRONLY | O_TRUNC);
        if (out.writeFully(text.data(), text.size()) != 0) throw fileError("write", path, errno);
        if (const int error = out.close()) throw fileError("write", path, error);
    }
    file.commit(path);
}

void replaceFolder(const fs::path& replacement, const fs::path& target) {
    // A kill between the two renames of the fallback below leaves an old copy aside (a model or
    // a runtime: gigabytes) under a hidden name nothing else looks at. Whatever is at `target`
    // now, this call replaces it, so such a copy is no longer wanted.
    removeStaleWorkingFolders(target.parent_path(), "." + target.filename().string() + "-old-");
    std::error_code ec;
    const bool targetExists =
        fs::symlink_status(target, ec).type() != fs::file_type::not_found && !ec;
    if (!targetExists) {
        if (::rename(replacement.c_str(), target.c_str()) != 0) {
            throw fileError("replace", target, errno);
        }
        return;
    }
    if (::renameat2(AT_FDCWD, replacement.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) ==
        0) {
        removeQuietly(replacement);  // now the old copy
        return;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        throw fileError("replace", target, errno);
    }
    // No atomic swap on this file system: move the old copy aside, then move the new one in.
    const fs::path aside =
        target.parent_path() / ("." + target.filename().string() + "-old-" + newUuidString());
    if (::rename(target.c_str(), aside.c_str()) != 0) {
        throw fileError("replace", target, errno);
    }
    if (::rename(replacement.c_str(), target.c_str()) != 0) {
        const auto error = fileError("replace", target, errno);
        ::rename(aside.c_str(), target.c_str());
        throw error;
    }
    removeQuietly(aside);
}

void removeQuietly(const fs::path& path) noexcept {
    if (path.empty()) return;
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::optional<std::string> readSmallFile(const fs::path& path, std::uintmax_t limit) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || ec) return std::nullopt;
    const auto size = fs::file_size(path, ec);
    if (ec || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

}  // namespace corvaline::installfiles
