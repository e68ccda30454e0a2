// The window as a sound recordist meets it over a working day: recordings from deep project
// folders with long names, the keyboard, and the messages the window shows.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <filesystem>

#include "TestSupport.hpp"
#include "UiTestApp.hpp"
#include "WindowFixture.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"
#include "ui/DesktopServices.hpp"
#include "ui/MainWindow.hpp"
#include "ui/dialogs/AboutWindow.hpp"
#include "ui/panel/SidePanel.hpp"
#include "ui/workspace/SessionSidebar.hpp"
#include "ui/workspace/WorkspaceView.hpp"

namespace corvaline::ui {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

class EverydayUseTest : public test::WindowFixture {
  protected:
    // A DeepFilterNet engine that takes its time: a render stays running until cancelled.
    EverydayUseTest() : WindowFixture("#!/bin/sh\nexec sleep 60\n") {}

    /// Imports `files` and waits until the import has ended and the window is up to date.
    void import(const std::vector<fs::path>& files) {
        state_->importURLs(files);
        ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
        window_->refreshNow();
        test::pump(100);
    }

    TempDir folder_;
};

/// Visible widgets of the inspector that reach past its view (the view clips them).
QStringList cutByInspector(SidePanel& panel) {
    QStringList cut;
    const QRect view = panel.viewport()->rect();
    for (QWidget* w : panel.widget()->findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        const QRect inView(w->mapTo(panel.viewport(), QPoint(0, 0)), w->size());
        if (inView.right() > view.right() || inView.left() < view.left()) {
            QString name = w->accessibleName();
            if (auto* button = qobject_cast<QAbstractButton*>(w); button && name.isEmpty())
                name = button->text();
            if (auto* label = qobject_cast<QLabel*>(w); label && name.isEmpty())
                name = label->text().left(40);
            cut << QStringLiteral("%1 '%2'").arg(QString::fromUtf8(w->metaObject()->className()),
                                                 name);
        }
    }
    return cut;
}

TEST_F(EverydayUseTest, LongFolderAndFileNamesNeverPushTheInspectorPastTheWindow) {
    // Camera-roll folders and file names run long without a space to break at.
    const fs::path deep = folder_.path() / "Interview_Recordings_Day_Two_Camera_A_Sound_Roll_0412" /
                          "Final_Delivery_Masters_From_Location_Sound_Department";
    fs::create_directories(deep);
    const fs::path take = deep / "A001_C003_0412XY_interview_boom_and_two_lavs_take_03.wav";
    AudioIO::demo(take);
    import({take});
    ASSERT_EQ(state_->files().size(), 1u);

    SidePanel& panel = *window_->inspector();
    test::waitUntil([&] { return panel.widget()->width() <= panel.viewport()->width(); }, 3000);
    EXPECT_LE(panel.widget()->width(), panel.viewport()->width());
    EXPECT_LE(panel.widget()->minimumSizeHint().width(), panel.viewport()->width());
    const QStringList cut = cutByInspector(panel);
    EXPECT_TRUE(cut.isEmpty()) << cut.join(QStringLiteral(", ")).toStdString();

    // The details still name the file and its folder in full (break hints aside).
    QString shown;
    for (QLabel* label : panel.findChildren<QLabel*>()) {
        if (label->accessibleName() == QStringLiteral("File details")) shown = label->text();
    }
    shown.remove(QChar(0x200B));
    EXPECT_TRUE(shown.contains(QString::fromStdString(take.filename().string())))
        << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString::fromStdString(deep.string()))) << shown.toStdString();
}

TEST_F(EverydayUseTest, ARecordingCutShortSaysSoInItsDetailsAfterTheAlertIsGone) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    fs::resize_file(take, fs::file_size(take) / 2);
    import({take});
    ASSERT_EQ(state_->files().size(), 1u);
    ASSERT_TRUE(state_->error());
    state_->setError(std::nullopt);
    window_->refreshNow();

    QString shown;
    for (QLabel* label : window_->inspector()->findChildren<QLabel*>()) {
        if (label->accessibleName() == QStringLiteral("File details")) shown = label->text();
    }
    shown.remove(QChar(0x200B));
    EXPECT_TRUE(shown.contains(QStringLiteral("Warning")) &&
                shown.contains(QString::fromUtf8("\u201ctake.wav\u201d is damaged: its header "
                                                 "promises 0:12.0 but only 0:05.9 is present")))
        << shown.toStdString();
}

TEST_F(EverydayUseTest, LevelerReadingsWrapBetweenChannelsNeverInsideOne) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    QLabel* gains = nullptr;
    for (QLabel* label : window_->inspector()->findChildren<QLabel*>()) {
        if (label->accessibleName() == QStringLiteral("Leveler gain per channel")) gains = label;
    }
    ASSERT_NE(gains, nullptr);
    ASSERT_TRUE(gains->wordWrap());
    // Four readings do not fit on one line of the panel; each keeps its number with its gain.
    const QStringList readings = gains->text().split(QStringLiteral("    "));
    ASSERT_EQ(readings.size(), 4) << gains->text().toStdString();
    for (const QString& reading : readings) {
        EXPECT_FALSE(reading.contains(QLatin1Char(' '))) << reading.toStdString();
        QString plain = reading;
        plain.replace(QChar(0x00A0), QLatin1Char(' '));
        EXPECT_TRUE(plain.startsWith(QStringLiteral("CH "))) << reading.toStdString();
        EXPECT_TRUE(plain.endsWith(QStringLiteral("  +0.0 dB"))) << reading.toStdString();
    }
}

/// Labels under `root` whose text does not fit them: too narrow for a one-line text, or too
/// short for the lines a wrapped text takes at its width.
QStringList cutLabels(QWidget& root) {
    QStringList cut;
    for (QLabel* label : root.findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty()) continue;
        const bool fits = label->wordWrap()
                              ? label->height() >= label->heightForWidth(label->width())
                              : label->width() >= label->sizeHint().width() &&
                                    label->height() >= label->sizeHint().height();
        if (!fits) cut << label->text();
    }
    return cut;
}

TEST_F(EverydayUseTest, TheAboutWindowShowsEveryLineWhole) {
    window_->showAbout();
    AboutWindow* about = window_->aboutWindow();
    ASSERT_TRUE(about);
    ASSERT_TRUE(test::waitUntil([&] { return about->isVisible(); }, 2000));
    test::pump(100);
    const QStringList cut = cutLabels(*about);
    EXPECT_TRUE(cut.isEmpty()) << cut.join(QStringLiteral(" | ")).toStdString();
    about->close();
}

TEST_F(EverydayUseTest, EveryPageShowsItsLabelsWholeAtTheSmallestAndALargeSize) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    for (const QSize size : {QSize(1050, 720), QSize(2560, 1440)}) {
        window_->resize(size);
        for (auto page : {app::WorkspacePage::workspace, app::WorkspacePage::settings,
                          app::WorkspacePage::help}) {
            state_->setPage(page);
            window_->refreshNow();
            test::waitUntil([&] { return cutLabels(*window_).isEmpty(); }, 2000);
            const QStringList cut = cutLabels(*window_);
            EXPECT_TRUE(cut.isEmpty())
                << size.width() << "x" << size.height() << " page " << int(page) << ": "
                << cut.join(QStringLiteral(" | ")).toStdString();
        }
    }
}

/// Turns the mouse wheel one notch down over the middle of `w`; true when `w` took the turn
/// (an event left unaccepted goes on to the scroll area around it).
bool wheelDown(QWidget* w) {
    const QPointF local(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent event(local, w->mapToGlobal(local), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
    return event.isAccepted();
}

TEST_F(EverydayUseTest, ScrollingTheInspectorNeverChangesTheControlUnderThePointer) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    SidePanel& panel = *window_->inspector();
    QComboBox* mode = nullptr;
    QSlider* target = nullptr;
    QDoubleSpinBox* targetValue = nullptr;
    for (QComboBox* c : panel.findChildren<QComboBox*>())
        if (c->accessibleName() == QStringLiteral("Bleed mode")) mode = c;
    for (QSlider* c : panel.findChildren<QSlider*>())
        if (c->accessibleName() == QStringLiteral("Speech target")) target = c;
    for (QDoubleSpinBox* c : panel.findChildren<QDoubleSpinBox*>())
        if (c->accessibleName() == QStringLiteral("Speech target value")) targetValue = c;
    ASSERT_TRUE(mode && target && targetValue);
    const ProcessingSettings before = state_->settings();

    for (QWidget* w : {static_cast<QWidget*>(mode), static_cast<QWidget*>(target),
                       static_cast<QWidget*>(targetValue)}) {
        EXPECT_FALSE(wheelDown(w)) << w->accessibleName().toStdString() << " kept the wheel";
        test::pump(20);
    }
    EXPECT_TRUE(state_->settings() == before) << "a setting changed under the wheel";
    EXPECT_EQ(state_->settings().bleedMode, before.bleedMode);

    // A control the user has clicked into takes the wheel.
    mode->setFocus();
    ASSERT_TRUE(test::waitUntil([&] { return mode->hasFocus(); }, 2000));
    EXPECT_TRUE(wheelDown(mode));
    test::pump(20);
    EXPECT_NE(state_->settings().bleedMode, before.bleedMode);
}

/// Types `text` into a seconds field and commits it with Return, as a user does.
void typeInto(QDoubleSpinBox* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

TEST_F(EverydayUseTest, TypedSelectionBoundsInEitherOrderSelectTheSpanBetweenThem) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    WorkspaceView& workspace = *window_->workspace();
    QDoubleSpinBox* start = nullptr;
    QDoubleSpinBox* end = nullptr;
    for (QDoubleSpinBox* f : workspace.findChildren<QDoubleSpinBox*>()) {
        if (f->accessibleName() == QStringLiteral("Selection start in seconds")) start = f;
        if (f->accessibleName() == QStringLiteral("Selection end in seconds")) end = f;
    }
    ASSERT_TRUE(start && end);
    // Without a selection the fields take no typing.
    EXPECT_FALSE(start->isEnabled());

    state_->enableRange(true);
    window_->refreshNow();
    ASSERT_TRUE(start->isEnabled());
    typeInto(start, QStringLiteral("8"));
    window_->refreshNow();
    EXPECT_NEAR(state_->rangeStart(), 8, 1e-6);
    EXPECT_NEAR(state_->rangeEnd(), 10, 1e-6);

    // An end before the start: 4 s to 8 s, not a one-frame selection at 8 s.
    typeInto(end, QStringLiteral("4"));
    window_->refreshNow();
    EXPECT_NEAR(state_->rangeStart(), 4, 1e-6);
    EXPECT_NEAR(state_->rangeEnd(), 8, 1e-6);
    EXPECT_NEAR(start->value(), 4, 1e-6);
    EXPECT_NEAR(end->value(), 8, 1e-6);

    // A start past the end likewise.
    typeInto(start, QStringLiteral("11"));
    window_->refreshNow();
    EXPECT_NEAR(state_->rangeStart(), 8, 1e-6);
    EXPECT_NEAR(state_->rangeEnd(), 11, 1e-6);
}

TEST_F(EverydayUseTest, ClosingTheWindowWhileWorkRunsAsksBeforeCancellingIt) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    ProcessingSettings settings = state_->settings();
    settings.isolation = true;
    state_->editSettings(settings);
    state_->render(true);
    ASSERT_TRUE(state_->busy());
    EXPECT_EQ(window_->runningWork(), QStringLiteral("Isolating voice locally"));

    // Closing asks; "Keep Working" leaves the render running and the window open.
    EXPECT_FALSE(window_->close());
    ASSERT_TRUE(window_->quitPrompt());
    EXPECT_TRUE(window_->quitPrompt()->text().contains(QStringLiteral("Isolating voice locally")));
    window_->quitPrompt()->defaultButton()->click();
    test::pump(50);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(state_->busy());

    // "Quit" closes the window.
    EXPECT_FALSE(window_->close());
    ASSERT_TRUE(window_->quitPrompt());
    QAbstractButton* quit = nullptr;
    for (QAbstractButton* b : window_->quitPrompt()->buttons())
        if (b->text() == QStringLiteral("Quit")) quit = b;
    ASSERT_NE(quit, nullptr);
    quit->click();
    ASSERT_TRUE(test::waitUntil([&] { return !window_->isVisible(); }, 5000));

    // With nothing running the window closes at once.
    ASSERT_TRUE(state_->busy());
    state_->cancel();
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    MainWindow idle(*state_);
    idle.show();
    EXPECT_TRUE(idle.runningWork().isEmpty());
    EXPECT_TRUE(idle.close());
}

TEST_F(EverydayUseTest, TheSessionListHighlightsTheRecordingShownEvenWhileWorkRuns) {
    const fs::path first = folder_.path() / "first.wav";
    const fs::path second = folder_.path() / "second.wav";
    AudioIO::demo(first);
    AudioIO::demo(second);
    import({first, second});
    ASSERT_EQ(state_->files().size(), 2u);
    QListWidget& list = *window_->sidebar()->list();
    ASSERT_EQ(list.currentRow(), 0);

    ProcessingSettings settings = state_->settings();
    settings.isolation = true;
    state_->editSettings(settings);
    state_->render(true);  // the slow engine keeps it running
    ASSERT_TRUE(state_->busy());
    list.setCurrentRow(1);  // a click on the other recording
    EXPECT_EQ(state_->current()->sourceURL, first);
    EXPECT_EQ(list.currentRow(), 0) << "the list names a recording the workspace does not show";

    state_->cancel();
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    list.setCurrentRow(1);
    EXPECT_EQ(state_->current()->sourceURL, second);
    EXPECT_EQ(list.currentRow(), 1);
}

TEST_F(EverydayUseTest, ExportDialogAsksBeforeReplacingAWavTypedWithoutItsExtension) {
    const fs::path earlier = folder_.path() / "take_clean.wav";
    test::writeFile(earlier, "an earlier export");
    const auto dialog =
        exportDialog(window_.get(), QString::fromStdString((folder_.path() / "x.wav").string()));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->open();
    dialog->selectFile(QString::fromStdString((folder_.path() / "take_clean").string()));
    ASSERT_EQ(dialog->selectedFiles().value(0).toStdString(), earlier.string());

    // Accepting asks whether to replace the existing WAV; "No" keeps the dialog open.
    QString asked;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            asked = box->text();
            box->button(QMessageBox::No)->click();
        }
    });
    poll.start(20);
    QMetaObject::invokeMethod(dialog.get(), "accept", Qt::DirectConnection);  // Save
    poll.stop();
    EXPECT_TRUE(asked.contains(QStringLiteral("take_clean.wav"))) << asked.toStdString();
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(test::readFile(earlier), "an earlier export");
}

TEST_F(EverydayUseTest, TheSessionListShowsTracksAndDurationWholeInTheSmallestWindow) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    for (const QSize size : {QSize(1050, 720), QSize(1360, 900)}) {
        window_->resize(size);
        test::pump(50);
        QListWidget& list = *window_->sidebar()->list();
        ASSERT_EQ(list.count(), 1);
        const QStringList lines = list.item(0)->text().split(QLatin1Char('\n'));
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(lines[1], QStringLiteral("4 tracks · 00:12.000"));
        // The text's room: the row less its icon and the style's margins around both.
        const int room = list.visualItemRect(list.item(0)).width() - list.iconSize().width() - 12;
        EXPECT_LE(list.fontMetrics().horizontalAdvance(lines[1]), room)
            << size.width() << "x" << size.height();
    }
}

TEST_F(EverydayUseTest, TheMonitorPickerNeverShowsProcessedWithNothingRenderedToHear) {
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    QPushButton* original = nullptr;
    QPushButton* processed = nullptr;
    for (QPushButton* b : window_->workspace()->findChildren<QPushButton*>()) {
        if (b->accessibleName() == QStringLiteral("Original")) original = b;
        if (b->accessibleName() == QStringLiteral("Processed")) processed = b;
    }
    ASSERT_TRUE(original && processed);
    ProcessingSettings settings = state_->settings();
    settings.isolation = true;
    state_->editSettings(settings);
    window_->refreshNow();
    ASSERT_FALSE(state_->processed());
    EXPECT_TRUE(original->isChecked());
    EXPECT_FALSE(processed->isEnabled());
    EXPECT_EQ(processed->toolTip(), QStringLiteral("Render this passage to hear it processed"));

    // Even a click that gets through leaves the picker on what the monitor plays.
    processed->setEnabled(true);
    QTest::mouseClick(processed, Qt::LeftButton);
    EXPECT_FALSE(state_->processed());
    EXPECT_TRUE(original->isChecked());
    EXPECT_FALSE(processed->isChecked());

    // Without AI restoration Processed is the finishing chain, always there to hear.
    settings.isolation = false;
    state_->editSettings(settings);
    window_->refreshNow();
    EXPECT_TRUE(processed->isEnabled());
    QTest::mouseClick(processed, Qt::LeftButton);
    EXPECT_TRUE(state_->processed());
    EXPECT_TRUE(processed->isChecked());
}

TEST_F(EverydayUseTest, TheExportCommandIsOfferedExactlyWhenTheButtonIs) {
    window_->refreshNow();
    EXPECT_FALSE(window_->exportAction()->isEnabled());
    const fs::path take = folder_.path() / "take.wav";
    AudioIO::demo(take);
    import({take});
    EXPECT_FALSE(window_->exportAction()->isEnabled());  // nothing rendered yet
    state_->render(true);                                // the finishing chain only
    ASSERT_TRUE(test::waitUntil([&] { return !state_->busy(); }));
    window_->refreshNow();
    ASSERT_TRUE(window_->exportButton()->isEnabled());
    EXPECT_TRUE(window_->exportAction()->isEnabled());
    // A change of the processed channels makes the render stale: both go grey together.
    auto channel = state_->channels()[0];
    channel.process = false;
    state_->setChannel(0, channel);
    window_->refreshNow();
    EXPECT_FALSE(window_->exportButton()->isEnabled());
    EXPECT_FALSE(window_->exportAction()->isEnabled());
}

}  // namespace
}  // namespace corvaline::ui
