#pragma once
// Offscreen pictures of the window: waits until the state is idle with a recording imported
// and analysed, shows the requested page and writes the window as a PNG.

#include <QSize>
#include <QString>
#include <optional>

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class MainWindow;

struct ScreenshotRequest {
    QString file;                                ///< PNG to write
    QString page = QStringLiteral("workspace");  ///< workspace, settings or help
    QSize size{1360, 900};
    bool needsRecording = false;  ///< wait until a recording is selected (--demo or files)
    int timeoutMs = 120000;
};

/// Parses "WxH" ("1360x900"); none when malformed or outside 400…8000 pixels per side.
std::optional<QSize> parseSize(const QString& text);
/// The page named `name`, or none.
std::optional<int> pageIndex(const QString& name);

/// Runs the event loop until the window is ready, renders it to `request.file` and returns
/// the process exit code (0 on success; 1 with a message on standard error otherwise).
int takeScreenshot(MainWindow& window, app::AppState& state, const ScreenshotRequest& request);

}  // namespace corvaline::ui
