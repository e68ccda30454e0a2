// The whole window, offscreen: every page rendered (by the program's own --screenshot and in
// process) neither blank nor clipped, the settings page's install rule, and a session driven
// through the widgets as a user would: open the test recording, select a passage by dragging,
// turn on Voice Isolation, preview with an identity engine, play, render the full file and
// export.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTest>

#include <filesystem>
#include <fstream>

#include "TestSupport.hpp"
#include "UiTestApp.hpp"
#include "WindowFixture.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"
#include "ui/Footer.hpp"
#include "ui/MainWindow.hpp"
#include "ui/controls/IconButton.hpp"
#include "ui/dialogs/AboutWindow.hpp"
#include "ui/dialogs/HelpTopics.hpp"
#include "ui/dialogs/HelpView.hpp"
#include "ui/dialogs/SettingsPage.hpp"
#include "ui/panel/SidePanel.hpp"
#include "ui/workspace/ChannelRow.hpp"
#include "ui/workspace/WaveformView.hpp"
#include "ui/workspace/WorkspaceView.hpp"

namespace corvaline::ui {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

/// Distinct colours in a sample of the picture: a blank or single-colour render has a few.
int colourVariety(const QImage& image) {
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    return int(colours.size());
}

/// Visible labels and buttons whose text does not fit, or that stick out of the window.
QStringList clippedControls(QWidget& window) {
    QStringList clipped;
    const QRect bounds = window.rect();
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        auto* label = qobject_cast<QLabel*>(w);
        auto* button = qobject_cast<QAbstractButton*>(w);
        if (!label && !button) continue;
        // Icon-only buttons are sized by hand.
        if (button && button->text().isEmpty()) continue;
        // Inside a scroll area only what is scrolled into view counts.
        const QRect visible = w->visibleRegion().boundingRect();
        if (visible.isEmpty()) continue;
        const QRect inWindow(w->mapTo(&window, QPoint(0, 0)), w->size());
        const QString name = w->accessibleName().isEmpty()
                                 ? (label ? label->text() : button->text())
                                 : w->accessibleName();
        if (!bounds.contains(inWindow)) clipped << name + QStringLiteral(" (outside the window)");
        const bool wraps = label && label->wordWrap();
        if (!wraps && w->width() < w->minimumSizeHint().width() - 1)
            clipped << name + QStringLiteral(" (text cut)");
    }
    return clipped;
}

template <class T>
T* findNamed(QWidget& root, const QString& name) {
    for (T* w : root.findChildren<T*>()) {
        if (w->accessibleName() == name) return w;
        if constexpr (requires { w->text(); }) {
            if (w->text() == name) return w;
        }
    }
    return nullptr;
}

class WindowTest : public test::WindowFixture {
  protected:
    // A DeepFilterNet runtime that is an identity engine: it copies its input to its output.
    WindowTest()
        : WindowFixture(
              "#!/bin/sh\n"
              "while [ $# -gt 1 ]; do case \"$1\" in -o) dir=\"$2\"; shift 2;; "
              "-m|-a) shift 2;; *) shift;; esac; done\n"
              "cp \"$1\" \"$dir/$(basename \"$1\")\"\n") {}

    void beforeShow() override {
        app::PlatformServices services;
        services.savePanel = [this](const QString&) -> std::optional<fs::path> {
            return output_.path() / "take_clean.wav";
        };
        services.revealFile = [](const fs::path&) {};
        services.openFolder = [](const fs::path&) {};
        state_->setPlatform(services);
    }

    void openDemo() {
        QTest::mouseClick(window_->workspace()->demoButton(), Qt::LeftButton);
        ASSERT_TRUE(test::waitUntil([&] { return !state_->files().empty() && !state_->busy(); }));
        window_->refreshNow();
    }

    TempDir output_;
};

TEST_F(WindowTest, EveryPageShowsItsVocabularyUnclipped) {
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Kestrio Corvaline"));
    EXPECT_TRUE(findNamed<QPushButton>(*window_, QStringLiteral("Open Test Recording")));
    EXPECT_TRUE(findNamed<QLabel>(*window_, QStringLiteral("No media in this session")));
    openDemo();
    for (auto page :
         {app::WorkspacePage::workspace, app::WorkspacePage::settings, app::WorkspacePage::help}) {
        state_->setPage(page);
        window_->refreshNow();
        // Layout settles over a few event-loop turns; a loaded machine needs more of them.
        test::waitUntil([&] { return clippedControls(*window_).isEmpty(); });
        const QStringList clipped = clippedControls(*window_);
        EXPECT_TRUE(clipped.isEmpty()) << int(page) << ": " << clipped.join(", ").toStdString();
        const QImage image = window_->grab().toImage();
        EXPECT_GT(colourVariety(image), 40) << int(page);
    }
    state_->setPage(app::WorkspacePage::workspace);
    window_->refreshNow();
    for (const char* text : {"MONITOR OUTPUT", "FILE DETAILS", "EXPORT FORMAT", "SESSION",
                             "SOURCE DURATION", "AUDIO WORKSPACE", "LOCAL PROCESSING",
                             "LINUX  ·  OFFLINE AUDIO", "Voice Isolation", "Equalizer"}) {
        EXPECT_TRUE(findNamed<QLabel>(*window_, QString::fromUtf8(text)) ||
                    findNamed<QAbstractButton>(*window_, QString::fromUtf8(text)))
            << text;
    }
    EXPECT_EQ(window_->exportButton()->toolTip(),
              QStringLiteral("Render the full file before exporting"));
}

TEST_F(WindowTest, TheSmallestWindowShowsEveryControlUnclipped) {
    openDemo();
    window_->resize(window_->minimumSize());
    ASSERT_EQ(window_->size(), QSize(1050, 720));
    for (auto page :
         {app::WorkspacePage::workspace, app::WorkspacePage::settings, app::WorkspacePage::help}) {
        state_->setPage(page);
        window_->refreshNow();
        test::waitUntil([&] { return clippedControls(*window_).isEmpty(); });
        const QStringList clipped = clippedControls(*window_);
        EXPECT_TRUE(clipped.isEmpty()) << int(page) << ": " << clipped.join(", ").toStdString();
    }
}

TEST_F(WindowTest, ScreenshotOptionWritesEveryPageAsAPicture) {
    const fs::path program =
        fs::path(QCoreApplication::applicationDirPath().toStdString()) / "corvaline";
    ASSERT_TRUE(fs::exists(program));
    for (const char* page : {"workspace", "settings", "help"}) {
        const fs::path picture = output_.path() / (std::string(page) + ".png");
        const auto result =
            test::runShell("XDG_DATA_HOME=" + test::shellQuote(models_.path().string()) +
                           " SDL_AUDIODRIVER=dummy " + test::shellQuote(program.string()) +
                           " --demo --size 1200x800 --page " + page + " --screenshot " +
                           test::shellQuote(picture.string()) + " 2>&1");
        ASSERT_EQ(result.status, 0) << page << ": " << result.output;
        QImage image(QString::fromStdString(picture.string()));
        ASSERT_FALSE(image.isNull()) << page;
        EXPECT_EQ(image.size(), QSize(1200, 800)) << page;
        EXPECT_GT(colourVariety(image), 40) << page;
    }
    const auto bad = test::runShell(test::shellQuote(program.string()) +
                                    " --demo --size 12 --screenshot x.png 2>&1");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("--size"), std::string::npos);

    // A recording cut short is imported, so it is pictured; the alert's words go to the
    // terminal. One that cannot be read at all is not.
    AudioIO::demo(output_.path() / "cut.wav");
    fs::resize_file(output_.path() / "cut.wav", fs::file_size(output_.path() / "cut.wav") / 2);
    test::writeFile(output_.path() / "broken.wav", "not audio");
    const auto shoot = [&](const std::string& file) {
        return test::runShell(
            "XDG_DATA_HOME=" + test::shellQuote(models_.path().string()) +
            " SDL_AUDIODRIVER=dummy " + test::shellQuote(program.string()) + " " +
            test::shellQuote((output_.path() / file).string()) + " --screenshot " +
            test::shellQuote((output_.path() / (file + ".png")).string()) + " 2>&1");
    };
    const auto cut = shoot("cut.wav");
    EXPECT_EQ(cut.status, 0) << cut.output;
    EXPECT_NE(cut.output.find("cut.wav\u201d is damaged"), std::string::npos) << cut.output;
    EXPECT_FALSE(
        QImage(QString::fromStdString((output_.path() / "cut.wav.png").string())).isNull());
    const auto broken = shoot("broken.wav");
    EXPECT_NE(broken.status, 0) << broken.output;
    EXPECT_FALSE(fs::exists(output_.path() / "broken.wav.png"));
}

TEST_F(WindowTest, InstallButtonsAreDisabledWhileAnotherModelInstalls) {
    SettingsPage& page = *window_->settingsPage();
    LibraryState library;
    library.installed = {"dfn3"};
    library.ready = {"dfn3"};
    library.activeDownload = "demucs";
    library.progress = 0.4;
    library.message = QStringLiteral("Downloading HTDemucs");
    library.runtimeReady = true;
    library.sidonReferenceReady = true;
    page.showLibrary(library);
    for (const auto& row : page.modelRows()) {
        const bool installing = row.id == QLatin1String("demucs");
        const bool installed = row.id == QLatin1String("dfn3");
        EXPECT_EQ(row.progressArea->isVisibleTo(&page), installing) << row.id.toStdString();
        EXPECT_EQ(row.installedArea->isVisibleTo(&page), installed) << row.id.toStdString();
        EXPECT_EQ(row.install->isVisibleTo(&page), !installing && !installed)
            << row.id.toStdString();
        EXPECT_FALSE(row.install->isEnabled()) << row.id.toStdString();
        if (installed) {
            EXPECT_EQ(row.remove->text(), QStringLiteral("Remove DeepFilterNet 3"));
        }
        if (installing) {
            EXPECT_EQ(row.message->text(), QStringLiteral("Downloading HTDemucs"));
            EXPECT_EQ(row.progress->value(), 400);
            EXPECT_EQ(row.cancel->toolTip(), QStringLiteral("Cancel download or installation"));
        }
    }
    // The runtimes still show whether they are ready.
    ASSERT_EQ(page.runtimeRows().size(), 3u);
    EXPECT_EQ(page.runtimeRows()[0].state->text(), QStringLiteral("Ready"));
    EXPECT_EQ(page.runtimeRows()[1].state->text(), QStringLiteral("Not installed"));
    EXPECT_EQ(page.runtimeRows()[2].state->text(), QStringLiteral("Ready"));
    EXPECT_FALSE(page.runtimeRows()[1].action->isEnabled());

    library.activeDownload.reset();
    page.showLibrary(library);
    for (const auto& row : page.modelRows())
        EXPECT_EQ(row.install->isEnabled(), true) << row.id.toStdString();
    EXPECT_EQ(page.runtimeRows()[1].action->text(), QStringLiteral("Install Runtime"));
    EXPECT_EQ(page.runtimeRows()[2].action->text(), QStringLiteral("Repair runtime"));
}

TEST_F(WindowTest, HelpPageSearchShowsMatchesOrNoMatchingTopics) {
    state_->setPage(app::WorkspacePage::help);
    window_->refreshNow();
    HelpView& help = *window_->helpView();
    QTest::keyClicks(help.searchField(), QStringLiteral("true peak"));
    test::pump(10);
    EXPECT_EQ(help.topicList()->count(), 2);
    ASSERT_NE(help.shownTopic(), nullptr);
    EXPECT_EQ(help.shownTopic()->id, QStringLiteral("dsp"));  // "start" no longer matches
    help.setQuery(QStringLiteral("zzzz"));
    test::pump(10);
    EXPECT_EQ(help.shownTopic(), nullptr);
    EXPECT_TRUE(findNamed<QLabel>(help, QStringLiteral("No matching topics"))->isVisible());
    help.setQuery(QString());
    test::pump(10);
    EXPECT_EQ(help.topicList()->count(), 11);
}

TEST_F(WindowTest, SessionDrivenThroughTheWidgets) {
    openDemo();
    WorkspaceView& workspace = *window_->workspace();
    ASSERT_EQ(workspace.rows().size(), 4u);

    // Selection mode, then a reverse drag over the first waveform selects 3 s to 6 s of the
    // 12 s recording.
    QTest::mouseClick(findNamed<QPushButton>(workspace, QStringLiteral("Selection")),
                      Qt::LeftButton);
    ASSERT_TRUE(state_->previewRange().has_value());
    window_->refreshNow();
    WaveformView* wave = workspace.rows()[0]->waveform();
    ASSERT_TRUE(wave->selecting());
    const int w = wave->width();
    QTest::mousePress(wave, Qt::LeftButton, {}, QPoint(w / 2, 20));
    QTest::mouseMove(wave, QPoint(w / 3, 20));
    QTest::mouseRelease(wave, Qt::LeftButton, {}, QPoint(w / 4, 20));
    EXPECT_NEAR(state_->rangeStart(), 3, 0.05);
    EXPECT_NEAR(state_->rangeEnd(), 6, 0.05);

    // Voice Isolation on: the footer says a preview is pending.
    QCheckBox* isolation = findNamed<QCheckBox>(*window_, QStringLiteral("Voice Isolation"));
    ASSERT_NE(isolation, nullptr);
    isolation->click();
    window_->refreshNow();
    ASSERT_TRUE(state_->settings().isolation);
    EXPECT_TRUE(Footer::previewPending(*state_));

    // Preview the selection with the identity engine.
    QPushButton* preview = findNamed<QPushButton>(*window_, QStringLiteral("Preview Selection"));
    ASSERT_TRUE(preview && preview->isEnabled());
    QTest::mouseClick(preview, Qt::LeftButton);
    EXPECT_EQ(state_->status(), QStringLiteral("Isolating voice locally"));
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    ASSERT_FALSE(state_->error().has_value()) << state_->error()->toStdString();
    ASSERT_TRUE(state_->preview().has_value());
    EXPECT_EQ(state_->status(), QStringLiteral("Selection preview ready"));
    window_->refreshNow();
    EXPECT_FALSE(Footer::previewPending(*state_));
    EXPECT_FALSE(Footer::settingsChanged(*state_));

    // Play for a moment and stop, with the transport's button.
    QPushButton* play = workspace.playButton();
    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return state_->isPlaying() || state_->error(); }));
    ASSERT_FALSE(state_->error().has_value()) << state_->error()->toStdString();
    test::pump(300);
    window_->refreshNow();
    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return !state_->isPlaying(); }));

    // A selection preview cannot be exported; a full-file render can.
    EXPECT_FALSE(window_->exportButton()->isEnabled());
    QTest::mouseClick(findNamed<QPushButton>(*window_, QStringLiteral("Render Full File")),
                      Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    ASSERT_FALSE(state_->error().has_value()) << state_->error()->toStdString();
    EXPECT_EQ(state_->status(), QStringLiteral("Full-file render ready"));
    window_->refreshNow();
    ASSERT_TRUE(window_->exportButton()->isEnabled());
    EXPECT_EQ(window_->exportButton()->toolTip(),
              QStringLiteral("Export the full processed recording"));
    QTest::mouseClick(window_->exportButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    ASSERT_FALSE(state_->error().has_value()) << state_->error()->toStdString();
    EXPECT_EQ(state_->status(), QStringLiteral("Exported take_clean.wav"));
    const auto exported = AudioIO::analyze(output_.path() / "take_clean.wav");
    EXPECT_EQ(exported.channelCount(), 4);
    EXPECT_EQ(exported.frameCount, state_->files().front().frameCount);
}

TEST_F(WindowTest, DeliveryStandardSetsTheTargetAndShowsTheVerdictOfTheMeasurement) {
    openDemo();
    auto* standard = findNamed<QComboBox>(*window_, QStringLiteral("Delivery standard"));
    ASSERT_TRUE(standard);
    EXPECT_EQ(standard->itemText(0), QStringLiteral("None"));
    const int ebu = standard->findData(QStringLiteral("ebu-r128"));
    ASSERT_GT(ebu, 0);
    EXPECT_EQ(standard->itemText(ebu), QStringLiteral("EBU R 128 (\u221223 LUFS)"));
    standard->setCurrentIndex(ebu);
    emit standard->activated(ebu);
    EXPECT_DOUBLE_EQ(state_->settings().targetLUFS, -23);
    EXPECT_DOUBLE_EQ(state_->settings().ceiling, -1);

    auto* verdict = findNamed<QLabel>(*window_, QStringLiteral("Delivery verdict"));
    ASSERT_TRUE(verdict);
    window_->refreshNow();
    EXPECT_FALSE(verdict->isVisibleTo(window_.get()));  // nothing measured yet
    QTest::mouseClick(findNamed<QPushButton>(*window_, QStringLiteral("Measure Processed Audio")),
                      Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    window_->refreshNow();
    EXPECT_TRUE(verdict->isVisibleTo(window_.get()));
    EXPECT_EQ(verdict->text(), QStringLiteral("EBU R 128: compliant"));
    if (const char* picture = std::getenv("CORVALINE_TEST_PICTURE"))
        window_->inspector()->grab().save(QString::fromUtf8(picture));

    // Choosing "None" takes the verdict away and leaves the target where it was.
    standard->setCurrentIndex(0);
    emit standard->activated(0);
    window_->refreshNow();
    EXPECT_FALSE(verdict->isVisibleTo(window_.get()));
    EXPECT_DOUBLE_EQ(state_->settings().targetLUFS, -23);
}

TEST_F(WindowTest, ErrorsAppearInAnAudioErrorAlertThatOkClears) {
    state_->setError(QStringLiteral("Import an audio or video file first."));
    ASSERT_TRUE(test::waitUntil([&] { return window_->errorAlert() != nullptr; }, 2000));
    EXPECT_EQ(window_->errorAlert()->windowTitle(), QStringLiteral("Audio Error"));
    EXPECT_EQ(window_->errorAlert()->text(),
              QStringLiteral("Import an audio or video file first."));
    window_->errorAlert()->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(test::waitUntil([&] { return !state_->error().has_value(); }, 2000));
}

TEST_F(WindowTest, ModelErrorsAppearInTheirOwnAlertThatOkClears) {
    state_->models().setError(QStringLiteral("Could not install HTDemucs: the disk is full."));
    window_->refreshNow();
    ASSERT_TRUE(test::waitUntil([&] { return window_->modelAlert() != nullptr; }, 2000));
    EXPECT_EQ(window_->modelAlert()->windowTitle(), QStringLiteral("Model Error"));
    EXPECT_EQ(window_->modelAlert()->text(),
              QStringLiteral("Could not install HTDemucs: the disk is full."));
    EXPECT_EQ(window_->errorAlert(), nullptr);  // not an audio error
    window_->modelAlert()->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(test::waitUntil([&] { return !state_->models().error().has_value(); }, 2000));
}

TEST_F(WindowTest, AboutShowsTheProductAndOpensTheGuide) {
    window_->showAbout();
    ASSERT_TRUE(window_->aboutWindow());
    QPointer<QDialog> dialog = window_->aboutWindow();
    QDialog& about = *dialog;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Kestrio Corvaline"));
    for (const char* text :
         {"Kestrio Corvaline", "Offline dialogue restoration and multichannel audio finishing.",
          "Local processing", "FFmpeg · LGPL 2.1 or later"}) {
        bool found = false;
        for (QLabel* label : about.findChildren<QLabel*>())
            found = found || label->text().contains(QString::fromUtf8(text));
        EXPECT_TRUE(found) << text;
    }
    EXPECT_TRUE(findNamed<QPushButton>(about, QStringLiteral("ffmpeg.org")));
    EXPECT_TRUE(clippedControls(about).isEmpty())
        << clippedControls(about).join(", ").toStdString();
    QTest::mouseClick(findNamed<QPushButton>(about, QStringLiteral("Open User Guide")),
                      Qt::LeftButton);
    EXPECT_EQ(state_->page(), app::WorkspacePage::help);
    EXPECT_TRUE(!dialog || !dialog->isVisible());  // the guide replaces the About window
}

TEST_F(WindowTest, DroppingAFolderOnTheWindowImportsItsRecordings) {
    TempDir drop;
    fs::create_directories(drop.path() / "day1");
    AudioIO::demo(drop.path() / "day1" / "scene1.wav");
    test::writeFile(drop.path() / "day1" / "notes.txt", "x");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(drop.path().string()))});
    const QPoint at(window_->width() / 2, window_->height() / 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    // Delivered straight to the window's handler, as the drag manager does.
    QObject* target = window_.get();
    target->event(&enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(window_->workspace()->dropping());
    QDropEvent dropEvent(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    target->event(&dropEvent);
    EXPECT_FALSE(window_->workspace()->dropping());
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy() && !state_->files().empty(); }));
    ASSERT_EQ(state_->files().size(), 1u);
    EXPECT_EQ(state_->files()[0].sourceURL.filename(), "scene1.wav");
}

TEST_F(WindowTest, DroppedFoldersAreSearchedForImportableFiles) {
    TempDir drop;
    fs::create_directories(drop.path() / "day2" / ".hidden");
    for (const char* name : {"b.wav", "a.WAV", "notes.txt", "day2/c.mov", "day2/.hidden/d.wav"})
        test::writeFile(drop.path() / name, "x");
    const auto files =
        MainWindow::dropFiles({QUrl::fromLocalFile(QString::fromStdString(drop.path().string())),
                               QUrl(QStringLiteral("https://example.com/e.wav"))});
    std::vector<std::string> names;
    for (const auto& f : files)
        names.push_back(fs::relative(f, drop.path()).string());
    EXPECT_EQ(names, (std::vector<std::string>{"a.WAV", "b.wav", "day2/c.mov"}));
}

}  // namespace
}  // namespace corvaline::ui
