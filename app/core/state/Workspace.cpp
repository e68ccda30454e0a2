#include "core/state/Workspace.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <system_error>

#include "audiocore/platform/Uuid.hpp"

namespace corvaline::app {
namespace {

constexpr const char* kPrefix = "Corvaline-";
constexpr const char* kLockName = ".lock";

}  // namespace

Workspace::Workspace(const std::filesystem::path& parent) {
    // The folder is made and locked under a hidden name and only then given its real one:
    // another start removing stale folders never sees it unlocked.
    const std::string uuid = newUuidString();
    const auto hidden = parent / ("." + std::string(kPrefix) + uuid);
    path_ = parent / (kPrefix + uuid);
    std::error_code ignored;
    std::filesystem::create_directories(hidden, ignored);
    const auto lock = hidden / kLockName;
    lock_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ >= 0 && ::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock_);
        lock_ = -1;
    }
    if (::rename(hidden.c_str(), path_.c_str()) != 0) {
        std::filesystem::remove_all(hidden, ignored);
        std::filesystem::create_directories(path_, ignored);  // run on without the lock
        if (lock_ >= 0) ::close(lock_);
        lock_ = -1;
    }
}

Workspace::~Workspace() {
    if (lock_ >= 0) ::close(lock_);
}

void Workspace::remove() {
    if (lock_ >= 0) {
        ::close(lock_);
        lock_ = -1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void Workspace::removeStale(const std::filesystem::path& parent) {
    std::error_code error;
    std::filesystem::directory_iterator entries(parent, error);
    if (error) return;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kPrefix, 0) != 0 || !entry.is_directory(error) || entry.is_symlink(error))
            continue;
        const auto lock = entry.path() / kLockName;
        const int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;  // not a folder of ours, or one from before locks
        // Nobody holds the lock: its run has ended without removing the folder.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(entry.path(), ignored);
        }
        ::close(fd);
    }
}

}  // namespace corvaline::app
