#pragma once
// The desktop side of the application core's PlatformServices: Qt's file dialogs and
// QDesktopServices for showing files and folders.

#include "core/bridge/PlatformServices.hpp"

class QWidget;

namespace corvaline::ui {

/// Name filters for the open dialog: "All supported files (...)" first, then one per type.
QStringList importNameFilters(const std::vector<MediaImport::ContentType>& types);

/// Panels parented to `window`, reveals through the system's file manager.
app::PlatformServices desktopServices(QWidget* window);

}  // namespace corvaline::ui
