// AppState's session: lifecycle, import, selection, removal, range and invalidation rules.

#include <gtest/gtest.h>

#include <cstdlib>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"
#include "core/state/Workspace.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

class SessionTest : public test::StateFixture {};

TEST_F(SessionTest, StartsWithTheInitialValuesAndAPrivateWorkspaceThatShutdownDeletes) {
    EXPECT_TRUE(state->files().empty());
    EXPECT_EQ(state->status(), "Ready");
    EXPECT_EQ(state->outputMeters(), (std::vector<double>{-90, -90}));
    EXPECT_EQ(state->bleedReduction(), (std::vector<double>{0, 0}));
    EXPECT_EQ(state->exportBits(), 32);
    EXPECT_EQ(state->helpTopicID(), "start");
    EXPECT_EQ(state->page(), WorkspacePage::workspace);
    EXPECT_DOUBLE_EQ(state->rangeEnd(), 0.0);
    const auto workspace = state->workspace();
    EXPECT_EQ(workspace.parent_path(), dir.path());
    EXPECT_EQ(workspace.filename().string().rfind("Corvaline-", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(workspace));
    state->shutdown();
    EXPECT_FALSE(std::filesystem::exists(workspace));
}

TEST_F(SessionTest, FoldersLeftByRunsThatEndedWithoutShutdownAreRemoved) {
    // The folder is made elsewhere and moved into place whole: the fixture's own start may be
    // removing stale folders right now.
    const auto stale = dir / "Corvaline-00000000-DEAD-4000-8000-000000000000";
    const auto making = dir / "making";
    std::filesystem::create_directories(making);
    corvaline::test::writeFile(making / ".lock", "");
    corvaline::test::writeFile(making / "preview-x.wav", "left behind");
    std::filesystem::rename(making, stale);
    const auto foreign = dir / "Corvaline-not-ours";  // no lock file: not touched
    std::filesystem::create_directories(foreign);
    AppState second(models.get());
    // What every start runs in the background; the start of `second` may be removing the
    // folder at this moment (holding its lock), so either removal may be the one that ends it.
    Workspace::removeStale(dir.path());
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(stale); }));
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_TRUE(std::filesystem::exists(state->workspace()));  // running ones stay
    EXPECT_TRUE(std::filesystem::exists(second.workspace()));
}

TEST_F(SessionTest, ImportGoesOnAfterAFailedFileAndNamesIt) {
    test::writeTone(dir / "one.wav", 2, 1.0);
    corvaline::test::writeFile(dir / "broken.wav", "this is not audio");
    test::writeTone(dir / "three.wav", 1, 0.5);
    importAndWait({dir / "one.wav", dir / "broken.wav", dir / "three.wav"});

    ASSERT_EQ(state->files().size(), 2u);
    EXPECT_EQ(state->files()[0].sourceURL, dir / "one.wav");
    EXPECT_EQ(state->files()[1].sourceURL, dir / "three.wav");
    ASSERT_TRUE(state->error());
    EXPECT_TRUE(state->error()->startsWith("broken.wav: ")) << state->error()->toStdString();
    EXPECT_GT(state->error()->size(), QString("broken.wav: ").size());
    ASSERT_TRUE(state->current());
    EXPECT_EQ(state->current()->sourceURL, dir / "one.wav");
    EXPECT_DOUBLE_EQ(state->progress(), 1.0);
    EXPECT_EQ(state->status(), "Ready");
    EXPECT_FALSE(state->hasWorker());
    // Selecting the first file gave one flag set per channel, processed, and silent meters.
    EXPECT_EQ(state->channels().size(), 2u);
    EXPECT_TRUE(state->channels()[0].process);
    EXPECT_EQ(state->channelMeters(), (std::vector<double>{-90, -90}));
}

TEST_F(SessionTest, EveryFileThatFailsInOneImportIsNamedNotOnlyTheLast) {
    corvaline::test::writeFile(dir / "first broken.wav", "this is not audio");
    test::writeTone(dir / "good.wav", 1, 0.5);
    corvaline::test::writeFile(dir / "second broken.wav", "");
    importAndWait({dir / "first broken.wav", dir / "good.wav", dir / "second broken.wav"});

    ASSERT_EQ(state->files().size(), 1u);
    ASSERT_TRUE(state->error());
    const QString shown = *state->error();
    EXPECT_TRUE(shown.startsWith("first broken.wav: ")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("\n\nsecond broken.wav: ")) << shown.toStdString();

    // A folder of broken files names a screenful of them and counts the rest.
    state->setError(std::nullopt);
    std::vector<std::filesystem::path> broken;
    for (int i = 1; i <= 11; ++i) {
        broken.push_back(dir / ("bad " + std::to_string(i) + ".wav"));
        corvaline::test::writeFile(broken.back(), "not audio");
    }
    importAndWait(broken);
    ASSERT_TRUE(state->error());
    const QString many = *state->error();
    EXPECT_TRUE(many.contains("bad 8.wav: ")) << many.toStdString();
    EXPECT_FALSE(many.contains("bad 9.wav")) << many.toStdString();
    EXPECT_TRUE(many.endsWith("\n\n3 more files could not be imported.")) << many.toStdString();

    // Once the alert is dismissed, the next import's failures stand on their own.
    state->setError(std::nullopt);
    corvaline::test::writeFile(dir / "third broken.wav", "x");
    importAndWait({dir / "third broken.wav"});
    ASSERT_TRUE(state->error());
    EXPECT_TRUE(state->error()->startsWith("third broken.wav: ")) << state->error()->toStdString();
}

TEST_F(SessionTest, ARecordingCutShortIsImportedAndTheAlertSaysItIsDamaged) {
    // A minute recorded (mono float), the recorder stopped writing 41.3 s in.
    test::writeTone(dir / "take.wav", 1, 60.0);
    const std::string bytes = corvaline::test::readFile(dir / "take.wav");
    const size_t audio = bytes.find("data") + 8;
    std::filesystem::resize_file(dir / "take.wav", audio + 413 * 4800 * 4 + 3);
    test::writeTone(dir / "whole.wav", 1, 0.5);
    importAndWait({dir / "take.wav", dir / "whole.wav"});

    ASSERT_EQ(state->files().size(), 2u);
    EXPECT_EQ(state->files()[0].frameCount, 413 * 4800);
    ASSERT_TRUE(state->error());
    EXPECT_EQ(*state->error(),
              QString::fromUtf8("\u201ctake.wav\u201d is damaged: its header promises 1:00.0 but "
                                "only 0:41.3 is present; Corvaline imports the part that is "
                                "present."));
    EXPECT_EQ(state->status(), "Ready");

    // With failures in the same import, each file is named once; past a screenful the
    // damaged ones are counted apart from the failed ones.
    state->setError(std::nullopt);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i <= 10; ++i) {
        files.push_back(dir / ("cut " + std::to_string(i) + ".wav"));
        std::filesystem::copy_file(dir / "take.wav", files.back());
        files.push_back(dir / ("bad " + std::to_string(i) + ".wav"));
        corvaline::test::writeFile(files.back(), "not audio");
    }
    importAndWait(files);
    ASSERT_TRUE(state->error());
    const QString many = *state->error();
    EXPECT_TRUE(many.startsWith(QString::fromUtf8("\u201ccut 1.wav\u201d is damaged: ")))
        << many.toStdString();
    EXPECT_TRUE(many.contains("\n\nbad 4.wav: ")) << many.toStdString();
    EXPECT_FALSE(many.contains("cut 5.wav")) << many.toStdString();
    EXPECT_TRUE(
        many.endsWith("\n\n6 more files could not be imported.\n\n6 more files are "
                      "damaged; the part of each that is present was imported."))
        << many.toStdString();
    EXPECT_EQ(state->files().size(), 12u);
}

TEST_F(SessionTest, TheSameFileIsImportedOnceAlsoThroughASymbolicLink) {
    test::writeTone(dir / "take.wav", 1, 0.5);
    std::filesystem::create_symlink(dir / "take.wav", dir / "link.wav");
    importAndWait({dir / "take.wav"});
    importAndWait({dir / "take.wav", dir / "link.wav"});
    EXPECT_EQ(state->files().size(), 1u);
    EXPECT_FALSE(state->error());
}

TEST_F(SessionTest, ImportWhileBusyChangesNothing) {
    test::writeTone(dir / "a.wav", 2, 20.0);
    test::writeTone(dir / "b.wav", 1, 0.5);
    state->importURLs({dir / "a.wav"});
    ASSERT_TRUE(state->busy());
    int statusChanges = 0;
    QObject::connect(state.get(), &AppState::statusChanged, [&] { ++statusChanges; });
    state->importURLs({dir / "b.wav"});
    EXPECT_EQ(statusChanges, 0);
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->files().size(), 1u);
}

TEST_F(SessionTest, CancelledImportKeepsFinishedFilesAndEndsReady) {
    test::writeTone(dir / "a.wav", 1, 0.5);
    test::writeTone(dir / "b.wav", 4, 30.0);
    state->importURLs({dir / "a.wav", dir / "b.wav"});
    ASSERT_TRUE(waitUntil([&] { return state->files().size() == 1; }));
    state->cancel();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->files().size(), 1u);
    EXPECT_EQ(state->status(), "Ready");
    EXPECT_FALSE(state->error());
}

TEST_F(SessionTest, SelectionIsFrozenWhileBusyAndResetsTheMonitorSource) {
    test::writeTone(dir / "a.wav", 2, 0.5);
    test::writeTone(dir / "b.wav", 1, 0.5);
    test::writeTone(dir / "slow.wav", 4, 30.0);
    importAndWait({dir / "a.wav", dir / "b.wav"});
    const AudioInfo second = state->files()[1];
    const std::string first = *state->selectedID();

    state->importURLs({dir / "slow.wav"});
    ASSERT_TRUE(state->busy());
    state->select(second);
    EXPECT_EQ(*state->selectedID(), first);
    state->cancel();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));

    auto settings = state->settings();
    settings.isolation = true;
    state->editSettings(settings);
    state->select(second);
    EXPECT_EQ(*state->selectedID(), second.id);
    EXPECT_FALSE(state->processed());  // AI on: nothing rendered yet, Original
    EXPECT_EQ(state->channels().size(), 1u);
    settings.isolation = false;
    state->editSettings(settings);
    state->selectID(first);
    EXPECT_TRUE(state->processed());  // DSP only: straight to Processed
}

TEST_F(SessionTest, RangeFollowsThePlayheadAndIsAtLeastOneFrame) {
    test::writeTone(dir / "minute.wav", 1, 60.0, 48000, 0.1);
    importAndWait({dir / "minute.wav"});
    state->seek(58.0 / 60.0);
    EXPECT_NEAR(state->time(), 58.0, 1e-9);
    state->enableRange(true);
    ASSERT_TRUE(state->previewRange());
    EXPECT_EQ(state->previewRange()->start, 58 * 48000);
    EXPECT_EQ(state->previewRange()->end, 60 * 48000);
    EXPECT_TRUE(state->selectingRange());

    state->enableRange(false);
    EXPECT_FALSE(state->previewRange());
    state->seek(2.0);  // past the end: clamped to the end of the file
    state->enableRange(true);
    EXPECT_EQ(state->previewRange()->start, int64_t(59.9 * 48000 + 0.5));
    EXPECT_EQ(state->previewRange()->end, 60 * 48000);

    state->setRange(5, 5);
    EXPECT_EQ(*state->previewRange(), (AudioFrameRange{5 * 48000, 5 * 48000 + 1}));
    const auto before = state->previewRange();
    state->setRange(std::nan(""), 7);
    state->setRange(1, INFINITY);
    EXPECT_EQ(state->previewRange(), before);

    // The same range again: no stop, no new monitor version.
    const int64_t version = state->monitorVersion();
    state->updateRange(before);
    EXPECT_EQ(state->monitorVersion(), version);
    state->updateRange(AudioFrameRange{0, 480});
    EXPECT_EQ(state->monitorVersion(), version + 1);
    EXPECT_DOUBLE_EQ(state->time(), 0.01);  // clamped into the new range
}

TEST_F(SessionTest, RemovingAVideoDeletesItsExtractedAudioButNeverTheVideo) {
    const auto video = dir / "clip.mp4";
    const auto made = corvaline::test::runShell(
        "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 -c:a aac " +
        corvaline::test::shellQuote(video.string()));
    ASSERT_EQ(made.status, 0);
    test::writeTone(dir / "take.wav", 1, 0.5);
    importAndWait({video, dir / "take.wav"});
    ASSERT_EQ(state->files().size(), 2u);
    const AudioInfo imported = state->files()[0];
    ASSERT_NE(imported.url, imported.sourceURL);
    EXPECT_TRUE(std::filesystem::exists(imported.url));

    state->removeSelected();
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(imported.url.parent_path()); }));
    EXPECT_TRUE(std::filesystem::exists(video));
    ASSERT_EQ(state->files().size(), 1u);
    EXPECT_EQ(state->current()->sourceURL, dir / "take.wav");  // the next file is selected

    state->removeSelected();
    EXPECT_TRUE(state->files().empty());
    EXPECT_FALSE(state->selectedID());
    EXPECT_TRUE(std::filesystem::exists(dir / "take.wav"));
}

TEST_F(SessionTest, DemoImportsTheTestRecordingFromTheWorkspace) {
    state->demo();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    ASSERT_EQ(state->files().size(), 1u);
    EXPECT_EQ(state->files()[0].url, state->workspace() / AppState::kDemoFileName);
    EXPECT_EQ(state->channels().size(), 4u);
    EXPECT_NEAR(state->rangeEnd(), 12.0, 1e-9);
}

TEST_F(SessionTest, TheLimitNoticeFollowsTheNormalisationPlanNotTheNormalisedReading) {
    test::writeTone(dir / "talk.wav", 2, 3.0);
    importAndWait({dir / "talk.wav"});
    auto settings = state->settings();
    settings.normalizationEnabled = true;
    settings.targetLUFS = -23;  // reached by cutting
    state->editSettings(settings);
    state->measureLoudness();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    ASSERT_TRUE(state->loudness() && state->loudness()->integrated);
    EXPECT_NEAR(*state->loudness()->integrated, -23, 0.2);  // measured after the gain
    EXPECT_LT(state->normalizationGainDB(), -1);
    EXPECT_FALSE(state->normalizationLimited());

    settings.targetLUFS = -5;  // needs a boost the limit forbids
    settings.normalizationMaxBoost = 0;
    state->editSettings(settings);
    state->measureLoudness();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_TRUE(state->normalizationLimited());
}

TEST_F(SessionTest, LoudnessMeasurementOfADspOnlySetupAndWhenItGoesStale) {
    test::writeTone(dir / "talk.wav", 2, 3.0);
    importAndWait({dir / "talk.wav"});
    state->measureLoudness();
    EXPECT_EQ(state->status(), "Measuring loudness and true peak");
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->status(), "Loudness analysis complete");
    ASSERT_TRUE(state->loudness());
    ASSERT_TRUE(state->loudness()->integrated);
    EXPECT_TRUE(state->loudnessCurrent());

    auto flags = state->channels()[1];
    flags.mute = true;
    state->setChannel(1, flags);
    EXPECT_TRUE(state->loudnessCurrent());  // mute plays no part in the measurement
    flags.process = false;
    state->setChannel(1, flags);
    EXPECT_FALSE(state->loudnessCurrent());
    flags.process = true;
    state->setChannel(1, flags);
    EXPECT_TRUE(state->loudnessCurrent());
    auto settings = state->settings();
    settings.outputGain = -3;
    state->editSettings(settings);
    EXPECT_FALSE(state->loudnessCurrent());

    // With AI on and nothing rendered, the measurement is refused with the message.
    settings.isolation = true;
    state->editSettings(settings);
    state->measureLoudness();
    EXPECT_FALSE(state->busy());
    ASSERT_TRUE(state->error());
    EXPECT_EQ(*state->error(),
              "Render the current AI settings before measuring processed loudness.");
}

TEST_F(SessionTest, SilenceHasNoMeasurableProgrammeLoudness) {
    test::writeTone(dir / "quiet.wav", 1, 1.0, 48000, 0.0);
    importAndWait({dir / "quiet.wav"});
    state->measureLoudness();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->status(), "No measurable programme loudness (silence or under 400 ms)");
    ASSERT_TRUE(state->loudness());
    EXPECT_FALSE(state->loudness()->integrated);
}

TEST_F(SessionTest, TwoLavsAndCameraSetsUpTheChannelsThenCalibrates) {
    test::writeTone(dir / "six.wav", 6, 2.0);
    test::writeTone(dir / "three.wav", 3, 1.0);
    importAndWait({dir / "six.wav", dir / "three.wav"});
    state->setupTwoLavsWithCamera();
    EXPECT_EQ(state->status(), "Analyzing lav balance");
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    const auto& channels = state->channels();
    ASSERT_EQ(channels.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(channels[i].process, i < 2) << i;
        EXPECT_EQ(channels[i].mute, i > 1) << i;
    }
    EXPECT_TRUE(state->settings().bleedEnabled);
    EXPECT_EQ(state->settings().bleedMode, LavBleedMode::interview);
    EXPECT_EQ(state->settings().bleedRelease, 80);
    EXPECT_TRUE(state->processed());
    // Two steady tones are no conversation: the trims stay and the failure is shown.
    EXPECT_EQ(state->status(), "Lav balance unchanged");
    ASSERT_TRUE(state->error());
    EXPECT_EQ(state->settings().bleedTrimA, 0);

    // Fewer than four channels: nothing happens.
    state->setError(std::nullopt);
    state->selectID(state->files()[1].id);
    const auto settings = state->settings();
    state->setupTwoLavsWithCamera();
    EXPECT_FALSE(state->busy());
    EXPECT_EQ(state->channels(), std::vector<ChannelSettings>(3));
    EXPECT_EQ(state->settings(), settings);
}

}  // namespace
}  // namespace corvaline::app
