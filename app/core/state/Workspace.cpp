#include "core/state/Workspace.hpp"

#include <string>
#include <system_error>

#include "audiocore/platform/Uuid.hpp"

namespace corvaline::app {

Workspace::Workspace(const std::filesystem::path& parent) {
    std::error_code ignored;
    std::filesystem::create_directories(parent, ignored);
    try {
        folder_.emplace(parent);
        path_ = folder_->path();
    } catch (const std::exception&) {
        path_ = parent / ("Corvaline-" + newUuidString());
        std::filesystem::create_directories(path_, ignored);  // run on without the lock
    }
}

void Workspace::remove() {
    if (folder_) {
        folder_.reset();  // the folder goes, then its lock
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

void Workspace::removeStale(const std::filesystem::path& parent) {
    removeStaleWorkingFolders(parent);
}

}  // namespace corvaline::app
