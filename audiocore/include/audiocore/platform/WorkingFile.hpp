#pragma once
// Working files and folders that cannot outlive the work that made them, and the checks a
// destination passes before any work starts.
//
// WorkingFile is created unnamed (O_TMPFILE) in the folder of its future destination, so a
// kill at any moment leaves nothing behind; libraries open it through path(), a
// /proc/self/fd link. commit() names it into place: linkat() onto a destination that does
// not exist yet, otherwise linkat() to a hidden name and an atomic rename() over the old
// file. Where the file system has no unnamed files, it is a hidden named file
// (".<prefix>-UUID<extension>") removed on every outcome except a kill.
//
// WorkingFolder is "Corvaline-UUID" under the temporary folder (or another parent and name
// prefix: the installers stage models and runtimes in ".sidon-install-UUID" and the like). Its
// owner holds an exclusive lock on the ".lock" file inside for as long as it lives, and the
// kernel releases that lock however the process ends; removeStaleWorkingFolders() deletes the
// folders whose lock nobody holds (call it at start-up, or before making a new one). A folder is
// made and locked under a hidden name and only then given its real one, so no removal ever sees
// it unlocked.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "audiocore/platform/FileDescriptor.hpp"

namespace corvaline {

/// Refuses a destination that exists and is not a regular file (a symbolic link, FIFO,
/// device, socket or folder) and one whose folder does not exist, with a FileError in a
/// user's words ("Could not write “x”: it is a folder, not a file."). Call it before any
/// work; WorkingFile::commit() checks again.
void checkDestination(const std::filesystem::path& destination);

/// Flushes the folder holding `file`, so that a name just given to `file` there (a rename or
/// link) survives a power cut. A folder the file system cannot flush (EINVAL on some network
/// file systems, a read-only mount, ...) is left as it is; a failed flush throws a FileError
/// naming `file` ("Could not write “out.wav”: the disk reported an input/output error.").
void syncFolderOf(const std::filesystem::path& file);

/// A path removed (the whole tree, errors ignored) when this goes out of scope, unless
/// release() was called.
class ScopedRemoval {
  public:
    ScopedRemoval() = default;
    explicit ScopedRemoval(std::filesystem::path path) : path_(std::move(path)) {}
    ~ScopedRemoval();
    ScopedRemoval(ScopedRemoval&& other) noexcept : path_(std::move(other.path_)) {
        other.path_.clear();
    }
    ScopedRemoval& operator=(ScopedRemoval&& other) noexcept;
    ScopedRemoval(const ScopedRemoval&) = delete;
    ScopedRemoval& operator=(const ScopedRemoval&) = delete;

    const std::filesystem::path& path() const { return path_; }
    /// Keeps the item: nothing is removed later.
    void release() { path_.clear(); }

  private:
    std::filesystem::path path_;
};

class WorkingFile {
  public:
    /// A new empty working file in `folder`. `prefix` ("dsp", "corvaline") and `extension`
    /// (".wav") name the hidden fallback file. Throws FileError naming the folder.
    WorkingFile(const std::filesystem::path& folder, std::string_view prefix,
                std::string_view extension);
    /// A working file in the folder of `destination`, ready to commit() there.
    static WorkingFile beside(const std::filesystem::path& destination, std::string_view prefix);
    ~WorkingFile();
    WorkingFile(WorkingFile&&) noexcept = default;
    WorkingFile& operator=(WorkingFile&&) noexcept = delete;
    WorkingFile(const WorkingFile&) = delete;
    WorkingFile& operator=(const WorkingFile&) = delete;

    /// Where libraries open the file (for reading or writing, truncating it is fine). An
    /// unnamed file's path has no extension: writers that choose the container from the
    /// extension write their default (WAV).
    const std::filesystem::path& path() const { return path_; }
    /// The folder the file lives in.
    const std::filesystem::path& folder() const { return folder_; }
    /// True when the file has no name (it vanishes with the process).
    bool unnamed() const { return unnamed_; }

    /// Flushes the file and gives it the name `destination` (in the same folder as this file)
    /// in one step: readers see the old file or the complete new one. An existing regular
    /// destination keeps its permission bits; an existing non-regular one is refused
    /// (checkDestination). The file and then its folder are flushed to disk, so the new name
    /// survives a power cut once this returns. Afterwards this object owns nothing.
    void commit(const std::filesystem::path& destination);

  private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
    FileDescriptor fd_;
    ScopedRemoval named_;  // the hidden fallback file
    bool unnamed_ = false;
};

/// The folder a file lives in; for an unnamed working file's /proc/self/fd path, the folder
/// it was created in. Lets code that puts helper files beside its output work with both.
std::filesystem::path folderOf(const std::filesystem::path& file);

/// The name prefix of the application's working folders.
inline constexpr std::string_view kWorkingFolderPrefix = "Corvaline-";

/// A "Corvaline-UUID" working folder in the temporary folder (or `prefix` + UUID in `parent`,
/// which must exist), removed with everything in it on destruction (or by remove()). It stays
/// locked while this object lives, so that removeStaleWorkingFolders() in any process leaves it
/// alone.
class WorkingFolder {
  public:
    /// Throws FileError naming `parent` when the folder cannot be made there. Where the file
    /// system offers no locks, the folder records its owner (".owner": process id and start
    /// time) instead of holding a lock, and is taken for stale only once that process is gone.
    explicit WorkingFolder(const std::filesystem::path& parent = {},
                           std::string_view prefix = kWorkingFolderPrefix);
    /// Removes the folder, then releases the lock (never the other way round).
    ~WorkingFolder() { remove(); }
    WorkingFolder(WorkingFolder&&) noexcept = default;
    WorkingFolder& operator=(WorkingFolder&& other) noexcept {
        if (this != &other) {
            remove();
            removal_ = std::move(other.removal_);
            lock_ = std::move(other.lock_);
        }
        return *this;
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    const std::filesystem::path& path() const { return removal_.path(); }
    /// True while the folder holds its lock.
    bool locked() const { return bool(lock_); }
    /// Removes the folder now (errors ignored) and releases its lock. path() is empty afterwards.
    void remove() noexcept;
    /// For a folder made to be switched into place (a staging folder): call once the caller has
    /// moved it to `destination`, which no sweep looks at. Its lock file (or owner record) is
    /// removed from there, the lock released, and nothing is removed later. path() is empty
    /// afterwards.
    void movedTo(const std::filesystem::path& destination) noexcept;

  private:
    // Declared first: destroyed last, after the folder is gone.
    FileDescriptor lock_;
    ScopedRemoval removal_;
};

/// Removes the "Corvaline-*" (or `prefix`*) folders in `parent` (default: the temporary
/// folder) that belong to this user and were left by processes that ended without removing them:
/// their ".lock" is held by nobody (or, in folders from versions before locks and on file
/// systems without locks, their ".owner" record names a process that no longer runs). A folder
/// with neither, left by an older build, goes only when its name is exactly `prefix` + UUID and
/// nothing in it has changed for a day; other names are not ours to judge and stay. A folder
/// still under its hidden making name counts only after two minutes (a kill during its making
/// left it). Symbolic links are never followed. Errors are ignored. Returns how many were
/// removed.
int removeStaleWorkingFolders(const std::filesystem::path& parent = {},
                              std::string_view prefix = kWorkingFolderPrefix);

}  // namespace corvaline
