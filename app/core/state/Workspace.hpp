#pragma once
// The private working folder of one run: the temporary folder + "Corvaline-" + UUID. It holds
// every extracted, rendered and demo file and is deleted at shutdown.
//
// A run that ends without shutdown (a crash, a kill) cannot delete its folder, and a long
// recording leaves gigabytes behind. So each run holds an exclusive lock on a ".lock" file in
// its folder for as long as it lives; the next start removes every "Corvaline-" folder whose
// lock nobody holds any more. Folders without a lock file are left alone.

#include <filesystem>

namespace corvaline::app {

class Workspace {
  public:
    /// Creates the folder in `parent` (with intermediate folders) and takes its lock. A folder
    /// that cannot be created or locked is not an error: the run goes on without the lock.
    explicit Workspace(const std::filesystem::path& parent);
    /// Releases the lock (does not delete the folder).
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::filesystem::path& path() const { return path_; }

    /// Deletes the folder with everything in it; errors are ignored. Releases the lock first.
    void remove();

    /// Removes the folders of runs that ended without shutdown: every "Corvaline-" folder in
    /// `parent` with a ".lock" file that no process holds. Errors are ignored. Reads the disk:
    /// call it off the GUI thread.
    static void removeStale(const std::filesystem::path& parent);

  private:
    std::filesystem::path path_;
    int lock_ = -1;
};

}  // namespace corvaline::app
