#pragma once
// The desktop side of the application core's PlatformServices: Qt's file dialogs and
// QDesktopServices for showing files and folders, and opening links, with a message when the
// system cannot.

#include "core/bridge/PlatformServices.hpp"

#include <functional>
#include <memory>

class QFileDialog;
class QUrl;
class QWidget;

namespace corvaline::ui {

/// Name filters for the open dialog: "All supported files (...)" first, then one per type.
QStringList importNameFilters(const std::vector<MediaImport::ContentType>& types);

/// The "Export WAV" save dialog, starting at `start` (a path, or a bare name in the Music or
/// home folder). A name typed without an extension gets ".wav" before the dialog checks for
/// an existing file, so replacing one is always confirmed.
std::unique_ptr<QFileDialog> exportDialog(QWidget* window, const QString& suggestedName);

/// Panels parented to `window`, reveals through the system's file manager (openExternally).
app::PlatformServices desktopServices(QWidget* window);

/// Hands a URL to the system: true when a program took it. Tests install their own.
using UrlOpener = std::function<bool(const QUrl& url)>;
/// Replaces the opener (an empty function restores QDesktopServices::openUrl).
void setUrlOpener(UrlOpener opener);

/// Opens a local folder in the file manager, or a link in the browser. When the folder does
/// not exist or no program takes it, shows a message over `parent` that names the folder or
/// link and offers to copy it ("Copy Path" / "Copy Link"), so the user can open it by hand.
void openExternally(QWidget* parent, const QUrl& url);

}  // namespace corvaline::ui
