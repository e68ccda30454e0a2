// corvaline: the desktop application.
//
//   corvaline [FILE...]                 opens the window and imports the files
//   corvaline --demo                    opens the built-in test recording
//   corvaline --demo --screenshot OUT.png [--page workspace|settings|help] [--size WxH]
//                                       renders the window offscreen once the recording is
//                                       imported and analysed, writes the PNG and exits

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"
#include "ui/DesktopServices.hpp"
#include "ui/Icons.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Screenshot.hpp"
#include "ui/Theme.hpp"

namespace {

bool wantsScreenshot(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--screenshot" || arg.starts_with("--screenshot=")) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A screenshot needs no display: render offscreen unless a platform was chosen.
    if (wantsScreenshot(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvaline"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kestrio Corvaline"));
    QApplication::setOrganizationName(QStringLiteral("Kestrio"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALINE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("corvaline"));
    QApplication::setWindowIcon(corvaline::ui::icons::applicationIcon());
    corvaline::ui::theme::apply(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Offline dialogue restoration and multichannel audio finishing."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Open the test recording."));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Render the window offscreen to a PNG file and exit."),
        QStringLiteral("FILE"));
    const QCommandLineOption page(
        QStringLiteral("page"),
        QStringLiteral("Page of the screenshot: workspace, settings or help."),
        QStringLiteral("PAGE"), QStringLiteral("workspace"));
    const QCommandLineOption size(QStringLiteral("size"),
                                  QStringLiteral("Window size of the screenshot, e.g. 1360x900."),
                                  QStringLiteral("WxH"), QStringLiteral("1360x900"));
    parser.addOptions({demo, screenshot, page, size});
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("Recordings or videos to import."),
                                 QStringLiteral("[FILE...]"));
    parser.process(app);

    corvaline::ui::ScreenshotRequest request;
    if (parser.isSet(screenshot)) {
        request.file = parser.value(screenshot);
        request.page = parser.value(page);
        const auto parsed = corvaline::ui::parseSize(parser.value(size));
        if (!parsed) {
            std::fprintf(stderr, "corvaline: --size takes WIDTHxHEIGHT, e.g. 1360x900\n");
            return 2;
        }
        request.size = *parsed;
        if (!corvaline::ui::pageIndex(request.page)) {
            std::fprintf(stderr, "corvaline: --page takes workspace, settings or help\n");
            return 2;
        }
    }

    std::vector<std::filesystem::path> files;
    for (const QString& arg : parser.positionalArguments())
        files.emplace_back(QFileInfo(arg).absoluteFilePath().toStdString());

    corvaline::app::AppState state;
    corvaline::ui::MainWindow window(state);
    const auto services = corvaline::ui::desktopServices(&window);
    state.setPlatform(services);
    state.models().setPlatform(services);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &state,
                     &corvaline::app::AppState::shutdown);

    if (!files.empty()) state.importURLs(files);
    if (parser.isSet(demo) && state.files().empty() && !state.busy()) state.demo();

    if (!request.file.isEmpty()) {
        request.needsRecording = parser.isSet(demo) || !files.empty();
        const int code = corvaline::ui::takeScreenshot(window, state, request);
        state.shutdown();
        return code;
    }
    window.show();
    return app.exec();
}
