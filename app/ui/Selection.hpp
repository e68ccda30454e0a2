#pragma once
// Cheap reads of the selected recording for the views (AppState::current() copies the record,
// overview included; the views read it many times a second).

#include "audiocore/model/AudioInfo.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

/// The selected recording in `state.files()`, or nullptr.
inline const AudioInfo* selectedRecording(const app::AppState& state) {
    const auto& id = state.selectedID();
    if (!id) return nullptr;
    for (const auto& file : state.files()) {
        if (file.id == *id) return &file;
    }
    return nullptr;
}

}  // namespace corvaline::ui
