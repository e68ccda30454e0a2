#pragma once
// The desktop side of the application core's PlatformServices: Qt's file dialogs and
// QDesktopServices for showing files and folders.

#include "core/bridge/PlatformServices.hpp"

#include <memory>

class QFileDialog;
class QWidget;

namespace corvaline::ui {

/// Name filters for the open dialog: "All supported files (...)" first, then one per type.
QStringList importNameFilters(const std::vector<MediaImport::ContentType>& types);

/// The "Export WAV" save dialog, starting at `start` (a path, or a bare name in the Music or
/// home folder). A name typed without an extension gets ".wav" before the dialog checks for
/// an existing file, so replacing one is always confirmed.
std::unique_ptr<QFileDialog> exportDialog(QWidget* window, const QString& suggestedName);

/// Panels parented to `window`, reveals through the system's file manager.
app::PlatformServices desktopServices(QWidget* window);

}  // namespace corvaline::ui
