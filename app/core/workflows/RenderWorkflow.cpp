// Render and export: selection previews and full-file renders into the workspace, and the
// export of the full-file render to a WAV the user chooses.

#include "core/bridge/Worker.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {

void AppState::render(bool fullFile) {
    (void)fullFile;
    if (!current() || busy_) return;
}

void AppState::exportWAV() {}

void AppState::exportTo(const std::filesystem::path& destination) {
    (void)destination;
}

}  // namespace corvaline::app
