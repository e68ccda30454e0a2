#pragma once
// What the application core needs from the desktop but cannot do on Qt Core alone: the open
// and save panels and showing a file or folder in the system's file browser. The ui installs
// functions built on QFileDialog and QDesktopServices; tests install their own. An empty
// function means "not available": panels then return nothing and reveals do nothing.

#include <QString>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "audiocore/import/MediaImport.hpp"

namespace corvaline::app {

struct PlatformServices {
    /// Modal open panel titled `title`, offering `types`, allowing several files. Returns the
    /// chosen files in panel order, empty when the user cancelled.
    std::function<std::vector<std::filesystem::path>(
        const QString& title, const std::vector<MediaImport::ContentType>& types)>
        openPanel;
    /// Modal save panel restricted to WAV, suggesting `suggestedName`: a file name, or an
    /// absolute path when the state knows the folder to start in. Returns the chosen location,
    /// none when the user cancelled.
    std::function<std::optional<std::filesystem::path>(const QString& suggestedName)> savePanel;
    /// Shows `file` in the system's file viewer.
    std::function<void(const std::filesystem::path& file)> revealFile;
    /// Opens `folder` in the system's file browser.
    std::function<void(const std::filesystem::path& folder)> openFolder;
};

}  // namespace corvaline::app
