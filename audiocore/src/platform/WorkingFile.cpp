// Working files that vanish with the process, working folders with an owner record, and the
// checks a destination passes before any work.

#include "audiocore/platform/WorkingFile.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>

#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace fs = std::filesystem;

namespace corvaline {

namespace {

constexpr const char* kLockName = ".lock";
/// How long a folder may keep its hidden name while it is made before it counts as left over.
constexpr std::time_t kMakingSeconds = 120;
/// "PID START-TIME": written by versions before locks, and now where the file system offers no
/// locks.
constexpr const char* kOwnerRecord = ".owner";
/// A working folder with neither lock nor owner record (left by an older build) goes once
/// nothing in it has changed for this long: no run leaves its working folder untouched so long.
constexpr std::time_t kUnownedSeconds = 24 * 60 * 60;
constexpr std::string_view kProcFd = "/proc/self/fd/";

fs::path folderOrCurrent(const fs::path& folder) {
    return folder.empty() ? fs::path(".") : folder;
}

FileError refusal(const fs::path& destination, const std::string& what) {
    return FileError("Could not write " + quotedName(destination) + ": it is " + what +
                         ". Choose a regular file name instead.",
                     destination, std::make_error_code(std::errc::invalid_argument));
}

/// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat), or
/// nothing when the process does not exist.
std::optional<unsigned long long> processStartTime(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    // The command name (field 2) may hold spaces and parentheses: count from the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int index = 3; index <= 22; ++index) {
        if (!(fields >> field)) return std::nullopt;
        if (index == 22) {
            try {
                return std::stoull(field);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

/// True for the answers of a folder that cannot be flushed at all (network and special file
/// systems, read-only mounts, folders this user may write to but not open), as opposed to a
/// flush that failed.
bool folderCannotBeSynced(int error) {
    switch (error) {
        case EINVAL:
        case EROFS:
        case EBADF:
        case ENOSYS:
        case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
        case EOPNOTSUPP:
#endif
        case EACCES:
        case EPERM:
            return true;
        default:
            return false;
    }
}

}  // namespace

void syncFolderOf(const fs::path& file) {
    const fs::path folder = folderOrCurrent(file.parent_path());
    FileDescriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle) {
        if (folderCannotBeSynced(errno)) return;
        throw fileError("write", file, errno);
    }
    int result = ::fsync(handle.get());
    if (result != 0 && errno == EINTR) result = ::fsync(handle.get());
    if (result != 0 && !folderCannotBeSynced(errno)) throw fileError("write", file, errno);
}

// ---------------------------------------------------------------------------------------------

void checkDestination(const fs::path& destination) {
    struct stat st {};
    if (::lstat(destination.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) {
            // Replacing it needs a writable folder, checked below.
        } else if (S_ISLNK(st.st_mode)) {
            throw refusal(destination, "a symbolic link, not a regular file");
        } else if (S_ISDIR(st.st_mode)) {
            throw refusal(destination, "a folder, not a file");
        } else if (S_ISFIFO(st.st_mode)) {
            throw refusal(destination, "a named pipe, not a regular file");
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            throw refusal(destination, "a device, not a regular file");
        } else if (S_ISSOCK(st.st_mode)) {
            throw refusal(destination, "a socket, not a regular file");
        } else {
            throw refusal(destination, "not a regular file");
        }
    } else if (errno != ENOENT) {
        throw fileError("write", destination, errno);
    }
    const fs::path folder = folderOrCurrent(destination.parent_path());
    struct stat folderStat {};
    if (::stat(folder.c_str(), &folderStat) != 0) throw fileError("write", destination, errno);
    if (!S_ISDIR(folderStat.st_mode)) throw fileError("write", destination, ENOTDIR);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) throw fileError("write", destination, errno);
}

// ---------------------------------------------------------------------------------------------

ScopedRemoval::~ScopedRemoval() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedRemoval& ScopedRemoval::operator=(ScopedRemoval&& other) noexcept {
    if (this != &other) {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

// ---------------------------------------------------------------------------------------------

WorkingFile::WorkingFile(const fs::path& folder, std::string_view prefix,
                         std::string_view extension)
    : folder_(folderOrCurrent(folder)) {
    const int fd = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fd_.reset(fd);
        path_ = std::string(kProcFd) + std::to_string(fd);
        // Libraries reach the file through /proc; without it, fall back to a named file.
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0) {
            unnamed_ = true;
            return;
        }
        fd_.reset();
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw fileError("create a working file in", folder_, errno);
    }
    const fs::path named =
        folder_ / ("." + std::string(prefix) + "-" + newUuidString() + std::string(extension));
    fd_ = FileDescriptor(::open(named.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd_) throw fileError("create a working file in", folder_, errno);
    named_ = ScopedRemoval(named);
    path_ = named;
}

WorkingFile WorkingFile::beside(const fs::path& destination, std::string_view prefix) {
    return WorkingFile(destination.parent_path(), prefix, destination.extension().string());
}

WorkingFile::~WorkingFile() = default;

void WorkingFile::commit(const fs::path& destination) {
    if (!fd_) throw fileError("write", destination, EBADF);
    checkDestination(destination);
    struct stat existing {};
    if (::stat(destination.c_str(), &existing) == 0) {
        // Replacing a private file must not make its contents readable by others.
        if (::fchmod(fd_.get(), existing.st_mode & 07777) != 0) {
            throw fileError("replace", destination, errno);
        }
    }
    if (::fsync(fd_.get()) != 0) throw fileError("write", destination, errno);

    if (unnamed_) {
        if (::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, destination.c_str(), AT_SYMLINK_FOLLOW) !=
            0) {
            if (errno != EEXIST) throw fileError("write", destination, errno);
            // The destination exists: name the file beside it, then swap it in atomically.
            const fs::path hidden =
                folderOrCurrent(destination.parent_path()) /
                (".corvaline-" + newUuidString() + destination.extension().string());
            if (::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) !=
                0) {
                throw fileError("write", destination, errno);
            }
            if (::rename(hidden.c_str(), destination.c_str()) != 0) {
                const int error = errno;
                ::unlink(hidden.c_str());
                throw fileError("replace", destination, error);
            }
        }
    } else {
        if (::rename(named_.path().c_str(), destination.c_str()) != 0) {
            throw fileError("replace", destination, errno);
        }
        named_.release();
    }
    fd_.reset();
    path_ = destination;
    unnamed_ = false;
    // The new name lives in the folder: until the folder is flushed, a power cut can take the
    // name back although the file's data is safe.
    syncFolderOf(destination);
}

fs::path folderOf(const fs::path& file) {
    const std::string text = file.string();
    if (text.compare(0, kProcFd.size(), kProcFd) == 0) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(file, ec);
        if (!ec && target.is_absolute()) return target.parent_path();
    }
    return folderOrCurrent(file.parent_path());
}

// ---------------------------------------------------------------------------------------------

WorkingFolder::WorkingFolder(const fs::path& parent, std::string_view prefix) {
    const fs::path base = parent.empty() ? paths::temporaryFolder() : parent;
    const std::string name = std::string(prefix) + newUuidString();
    const fs::path hidden = base / ("." + name);
    const fs::path folder = base / name;
    if (::mkdir(hidden.c_str(), 0700) != 0) {
        throw fileError("create a working folder in", base, errno);
    }
    ScopedRemoval making(hidden);
    const fs::path lock = hidden / kLockName;
    FileDescriptor held(::open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (held && ::flock(held.get(), LOCK_EX | LOCK_NB) != 0) {
        // No locks here: the folder records its owner instead, and is judged by whether that
        // process still runs.
        held.reset();
        ::unlink(lock.c_str());
        std::ofstream record(hidden / kOwnerRecord);
        record << ::getpid() << ' ' << processStartTime(::getpid()).value_or(0) << '\n';
    }
    if (::rename(hidden.c_str(), folder.c_str()) != 0) {
        throw fileError("create a working folder in", base, errno);
    }
    making.release();
    removal_ = ScopedRemoval(folder);
    lock_ = std::move(held);
}

void WorkingFolder::remove() noexcept {
    if (!removal_.path().empty()) {
        std::error_code ignored;
        fs::remove_all(removal_.path(), ignored);  // the folder goes first...
        removal_.release();
    }
    lock_.reset();  // ...then its lock
}

void WorkingFolder::movedTo(const fs::path& destination) noexcept {
    if (lock_) ::unlink((destination / kLockName).c_str());
    if (!removal_.path().empty() && !lock_) ::unlink((destination / kOwnerRecord).c_str());
    removal_.release();
    lock_.reset();
}

namespace {

/// True when `folder` comes from a version before locks and the owner it records no longer
/// runs.
bool ownerRecordIsStale(const fs::path& folder) {
    std::ifstream record(folder / kOwnerRecord);
    long long pid = 0;
    unsigned long long started = 0;
    if (!(record >> pid >> started) || pid <= 0) return false;  // not ours to judge
    const auto now = processStartTime(pid_t(pid));
    return !(now && (started == 0 || *now == started));
}

/// True when `name` is `prefix` followed by a UUID, as every working folder is named.
bool followsOurNaming(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + 36 || name.substr(0, prefix.size()) != prefix) return false;
    const std::string_view uuid = name.substr(prefix.size());
    for (size_t i = 0; i < uuid.size(); ++i) {
        const char c = uuid[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

/// True when neither `folder` nor anything in it (symbolic links not followed, the links
/// themselves counted) was modified after `before`. Anything that cannot be looked at counts
/// as recent: such a folder is kept.
bool untouchedSince(const fs::path& folder, std::time_t before) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || st.st_mtime >= before) return false;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
    if (ec) return false;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) return false;
        if (::lstat(it->path().c_str(), &st) != 0 || st.st_mtime >= before) return false;
    }
    return !ec;
}

}  // namespace

int removeStaleWorkingFolders(const fs::path& parent, std::string_view prefix) {
    if (prefix.empty()) return 0;  // every name would match
    const fs::path base = parent.empty() ? paths::temporaryFolder() : parent;
    int removed = 0;
    std::error_code ec;
    fs::directory_iterator it(base, ec);
    if (ec) return 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path folder = it->path();
        const std::string name = folder.filename().string();
        const bool making = name.rfind("." + std::string(prefix), 0) == 0;
        if (!making && name.rfind(prefix, 0) != 0) continue;
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        // A folder still under its hidden name is being made (for a moment, and maybe not yet
        // locked); one that stayed hidden for minutes was left by a kill during its making.
        if (making && std::time(nullptr) - st.st_mtime < kMakingSeconds) continue;
        // The lock (when there is one) stays held while the folder goes, so that another
        // removal running at the same time leaves it to this one.
        const fs::path lock = folder / kLockName;
        FileDescriptor held(::open(lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        const int lockError = held ? 0 : errno;
        if (held) {
            if (::flock(held.get(), LOCK_EX | LOCK_NB) != 0) continue;
        } else if (!making && !ownerRecordIsStale(folder)) {
            // Neither lock nor owner record: an older build's folder. Only one named exactly
            // as ours, lockless for certain (not a lock we may not open), with no owner record
            // at all, and untouched for a day goes.
            struct stat record {};
            const bool unowned = lockError == ENOENT &&
                                 ::lstat((folder / kOwnerRecord).c_str(), &record) != 0 &&
                                 errno == ENOENT;
            if (!unowned || !followsOurNaming(name, prefix) ||
                !untouchedSince(folder, std::time(nullptr) - kUnownedSeconds)) {
                continue;
            }
        }
        std::error_code ignored;
        if (fs::remove_all(folder, ignored) > 0 && !ignored) ++removed;
    }
    return removed;
}

}  // namespace corvaline
