#include "Screenshot.hpp"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QTimer>
#include <cstdio>

#include "MainWindow.hpp"
#include "Selection.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

std::optional<QSize> parseSize(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{3,4})[xX](\\d{3,4})$"));
    const auto match = pattern.match(text.trimmed());
    if (!match.hasMatch()) return std::nullopt;
    const int w = match.captured(1).toInt();
    const int h = match.captured(2).toInt();
    if (w < 400 || h < 400 || w > 8000 || h > 8000) return std::nullopt;
    return QSize(w, h);
}

std::optional<int> pageIndex(const QString& name) {
    if (name == QLatin1String("workspace")) return int(app::WorkspacePage::workspace);
    if (name == QLatin1String("settings")) return int(app::WorkspacePage::settings);
    if (name == QLatin1String("help")) return int(app::WorkspacePage::help);
    return std::nullopt;
}

int takeScreenshot(MainWindow& window, app::AppState& state, const ScreenshotRequest& request) {
    const auto page = pageIndex(request.page);
    if (!page) {
        std::fprintf(stderr, "corvaline: unknown page \"%s\" (workspace, settings or help)\n",
                     qPrintable(request.page));
        return 1;
    }
    // Any size may be asked for (a zero minimum would hand the minimum back to the layout).
    window.setMinimumSize(1, 1);
    window.resize(request.size);
    window.show();

    // Wait for the import (and its analysis) to finish and the static meters to settle.
    QElapsedTimer clock;
    clock.start();
    auto ready = [&] {
        if (state.busy()) return false;
        return !request.needsRecording || selectedRecording(state) != nullptr;
    };
    while (!ready()) {
        // The import ended without a recording (every file failed): nothing will come.
        if (!state.busy() && state.error()) {
            std::fprintf(stderr, "corvaline: %s\n", qPrintable(*state.error()));
            return 1;
        }
        if (clock.elapsed() > request.timeoutMs) {
            std::fprintf(stderr, "corvaline: the recording was not ready within %d s\n",
                         request.timeoutMs / 1000);
            return 1;
        }
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (state.error()) {
        // The alert is not in the picture: its words go to the terminal. A recording that was
        // imported with a warning (a file cut short) is still pictured.
        std::fprintf(stderr, "corvaline: %s\n", qPrintable(*state.error()));
        if (!request.needsRecording) return 1;
    }
    state.setPage(app::WorkspacePage(*page));
    // Let the coalesced refresh and the static meters (read off the GUI thread) arrive.
    for (int i = 0; i < 6; ++i) {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    window.refreshNow();
    const QImage image = window.grab().toImage();
    if (!image.save(request.file, "PNG")) {
        std::fprintf(stderr, "corvaline: could not write the screenshot \"%s\"\n",
                     qPrintable(request.file));
        return 1;
    }
    return 0;
}

}  // namespace corvaline::ui
