#pragma once
// The private working folder of one run: the temporary folder + "Corvaline-" + UUID. It holds
// every extracted, rendered and demo file and is deleted at shutdown.
//
// A run that ends without shutdown (a crash, a kill) cannot delete its folder, and a long
// recording leaves gigabytes behind. The folder is the engine's WorkingFolder: it stays locked
// for as long as the run lives, and the next start (of the app or of the command-line tool)
// removes every such folder whose lock nobody holds any more.

#include <filesystem>
#include <optional>

#include "audiocore/platform/WorkingFile.hpp"

namespace corvaline::app {

class Workspace {
  public:
    /// Creates the folder in `parent` (with intermediate folders) and locks it. A folder that
    /// cannot be made or locked is not an error: the run goes on without the lock.
    explicit Workspace(const std::filesystem::path& parent);
    /// Deletes the folder like remove().
    ~Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::filesystem::path& path() const { return path_; }

    /// Deletes the folder with everything in it (errors ignored), then releases the lock.
    void remove();

    /// Removes the folders of runs that ended without shutdown (removeStaleWorkingFolders).
    /// Reads the disk: call it off the GUI thread.
    static void removeStale(const std::filesystem::path& parent);

  private:
    std::filesystem::path path_;
    std::optional<WorkingFolder> folder_;
};

}  // namespace corvaline::app
