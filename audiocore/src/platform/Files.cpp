// The file descriptor owner and file-system errors in a user's words.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline {

namespace {

constexpr std::string_view kProcFd = "/proc/self/fd/";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string quoted(const fs::path& path) {
    return "\u201c" + (path.empty() ? std::string(".") : path.string()) + "\u201d";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// FileDescriptor

FileDescriptor FileDescriptor::open(const fs::path& path, int flags, mode_t mode) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) {
        const bool writing = (flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0;
        throw fileError(writing ? "write" : "open", path, errno);
    }
    return FileDescriptor(fd);
}

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(fd_);
    fd_ = -1;
    // Linux releases the descriptor even when close fails; EINTR is not worth a retry.
    return result == 0 || errno == EINTR ? 0 : errno;
}

ssize_t FileDescriptor::readFully(void* into, std::size_t size) noexcept {
    auto* bytes = static_cast<char*>(into);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd_, bytes + done, size - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += std::size_t(got);
    }
    return ssize_t(done);
}

int FileDescriptor::writeFully(const void* from, std::size_t size) noexcept {
    const auto* bytes = static_cast<const char*>(from);
    while (size > 0) {
        const ssize_t put = ::write(fd_, bytes, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (put == 0) {
            errno = ENOSPC;
            return -1;
        }
        bytes += put;
        size -= std::size_t(put);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Messages

std::string quotedName(const fs::path& path) {
    const std::string text = path.string();
    if (startsWith(text, kProcFd)) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(path, ec);
        if (!ec && target.is_absolute()) return "a working file in " + quoted(target.parent_path());
        return "a working file";
    }
    const std::string name = path.filename().string();
    // So are the names of the files in a run's working folder ("restored-UUID.wav").
    if (startsWith(name, ".corvaline-") || startsWith(name, ".dsp-") ||
        startsWith(path.parent_path().filename().string(), kWorkingFolderPrefix)) {
        return "a working file in " + quoted(path.parent_path());
    }
    // The name alone reads best in a sentence; a path without one is shown whole.
    return quoted(path.has_filename() ? path.filename() : path);
}

std::string errnoReason(int error) {
    switch (error) {
        case ENOSPC:
            return "the disk is full";
        case EDQUOT:
            return "your disk quota is used up";
        case EFBIG:
            return "the file is too large for this disk";
        case ENOENT:
            return "it does not exist";
        case ENOTDIR:
            return "a part of its path is not a folder";
        case EISDIR:
            return "it is a folder, not a file";
        case EACCES:
        case EPERM:
            return "you do not have permission";
        case EROFS:
            return "the disk is read-only";
        case EEXIST:
            return "it already exists";
        case EIO:
            return "the disk reported an input/output error";
        case ENAMETOOLONG:
            return "its name is too long";
        case ELOOP:
            return "its path has too many symbolic links";
        case EMFILE:
        case ENFILE:
            return "too many files are open";
        case ENOMEM:
            return "there is not enough memory";
        case EBUSY:
        case ETXTBSY:
            return "it is in use";
        case EXDEV:
            return "it is on a different disk";
        case ENXIO:
        case ENODEV:
            return "it is a device that is not available";
        case ESPIPE:
            return "it is not a regular file";
        case ENOTEMPTY:
            return "the folder is not empty";
        case EINVAL:
            return "the file system does not allow it";
        default:
            break;
    }
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
    return "the system reported \u201c" + text + "\u201d";
}

FileError fileError(std::string_view verb, const fs::path& path, int error) {
    std::string reason = errnoReason(error);
    // A new file that cannot be created because of its folder: name the folder.
    const bool making = verb == "write" || verb == "create" || verb == "replace";
    if (error == ENOENT && making && !startsWith(path.string(), kProcFd)) {
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        reason = "the folder " + quoted(folder) + " does not exist";
    }
    return FileError(
        "Could not " + std::string(verb) + " " + quotedName(path) + ": " + reason + ".", path,
        std::error_code(error, std::generic_category()));
}

}  // namespace corvaline
