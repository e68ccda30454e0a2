// Playback and metering through AppState on SDL's dummy driver: start positions, the end of
// the stream and looping, live edits without a restart, stale starts, static meters.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "core/models/ModelManager.hpp"
#include "core/monitoring/MonitorController.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

class PlaybackTest : public test::StateFixture {
  protected:
    void importTone(const std::string& name, int channels, double seconds) {
        test::writeTone(dir / name, channels, seconds);
        importFile(dir / name);
    }

    void playAndWait() {
        state->play();
        ASSERT_TRUE(waitUntil([&] { return state->isPlaying() || !state->busy(); }));
        ASSERT_TRUE(state->isPlaying()) << (state->error() ? state->error()->toStdString() : "");
    }
};

TEST_F(PlaybackTest, PlaysToTheEndPublishingTimeAndMetersThenStops) {
    importTone("short.wav", 2, 0.6);
    EXPECT_TRUE(state->processed());  // DSP only: Processed
    EXPECT_EQ(state->monitorLabel(), "Processed · DSP only");
    playAndWait();
    EXPECT_EQ(state->channelMeters().size(), 2u);  // one per channel from the first tick
    EXPECT_EQ(state->levelerGain().size(), 2u);
    EXPECT_EQ(state->status(), "Ready");
    EXPECT_FALSE(state->busy());
    ASSERT_TRUE(waitUntil([&] { return state->outputMeters()[0] > -60; }, std::chrono::seconds(5)));
    EXPECT_EQ(state->channelMeters().size(), 2u);
    ASSERT_TRUE(waitUntil([&] { return !state->isPlaying(); }, std::chrono::seconds(10)));
    EXPECT_NEAR(state->time(), 0.6, 1e-9);  // stopped at the end of the window
    EXPECT_EQ(state->outputMeters(), (std::vector<double>{-90, -90}));
}

TEST_F(PlaybackTest, StartsAtTheCursorInsideTheSelectionElseAtItsStart) {
    importTone("ten.wav", 1, 10.0);
    state->setRange(2, 4);
    state->seek(0.9);  // 9 s, clamped into the selection: its end
    EXPECT_DOUBLE_EQ(state->time(), 4.0);
    playAndWait();
    EXPECT_DOUBLE_EQ(state->playbackOffset(), 2.0);  // the cursor at the end is outside
    state->stop();
    state->seek(0.3);
    playAndWait();
    EXPECT_NEAR(state->playbackOffset(), 3.0, 1e-9);
    EXPECT_DOUBLE_EQ(state->playbackEnd(), 4.0);
    // A selection change stops playback.
    state->setRange(1, 4);
    EXPECT_FALSE(state->isPlaying());
}

TEST_F(PlaybackTest, LoopingRestartsTheSelection) {
    importTone("ten.wav", 1, 10.0);
    state->setRange(1, 1.2);
    state->setLoopSelection(true);
    playAndWait();
    int restarts = 0;
    QObject::connect(state.get(), &AppState::isPlayingChanged, [&] {
        if (state->isPlaying()) ++restarts;
    });
    ASSERT_TRUE(waitUntil([&] { return restarts >= 2; }, std::chrono::seconds(10)))
        << "restarts " << restarts << ", playing " << state->isPlaying() << ", busy "
        << state->busy() << ", error " << state->error().value_or("none").toStdString();
    state->stop();
}

TEST_F(PlaybackTest, ProcessedAiAudioNeedsARenderOfThisSelection) {
    importTone("a.wav", 1, 1.0);
    auto settings = state->settings();
    settings.isolation = true;
    state->editSettings(settings);
    EXPECT_FALSE(state->processed());  // processingChanged switched to Original
    state->setProcessed(true);
    EXPECT_FALSE(state->processed());  // nothing rendered to hear
    EXPECT_EQ(state->monitorLabel(), "Original");
}

TEST_F(PlaybackTest, LiveEditsDoNotRestartAndStaleStartsAreDiscarded) {
    importTone("ten.wav", 2, 10.0);
    playAndWait();
    LiveMonitor* running = state->monitorController().monitor();
    ASSERT_NE(running, nullptr);
    auto flags = state->channels()[0];
    flags.mute = true;
    state->setChannel(0, flags);
    auto settings = state->settings();
    settings.outputGain = -6;
    state->editSettings(settings);
    EXPECT_TRUE(state->isPlaying());
    EXPECT_EQ(state->monitorController().monitor(), running);
    state->stop();

    // A channel change while the stream is being prepared: nothing plays.
    state->play();
    ASSERT_TRUE(state->busy());
    flags.mute = false;
    state->setChannel(0, flags);
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_FALSE(state->isPlaying());
    EXPECT_FALSE(state->monitorController().running());
    EXPECT_EQ(state->status(), "Ready");
}

TEST_F(PlaybackTest, StaticMetersReadTheFileAtTheCursor) {
    importTone("tone.wav", 2, 2.0);  // amplitude 0.25 = -12.04 dBFS
    state->seek(0.5);
    ASSERT_TRUE(waitUntil(
        [&] { return state->channelMeters().size() == 2 && state->channelMeters()[0] > -13; }));
    EXPECT_NEAR(state->channelMeters()[0], 20 * std::log10(0.25), 0.1);
    EXPECT_NEAR(state->channelMeters()[1], 20 * std::log10(0.25), 0.1);
    state->seek(1.0);  // the end of the file: nothing left to read
    ASSERT_TRUE(waitUntil([&] { return state->channelMeters()[0] == -90; }));
}

TEST_F(PlaybackTest, TogglingTheSourceWhilePlayingRestartsAtThePositionReached) {
    importTone("ten.wav", 1, 10.0);
    state->seek(0.2);
    playAndWait();
    test::spin(std::chrono::milliseconds(300));
    const int64_t version = state->monitorVersion();
    state->setProcessed(false);
    EXPECT_EQ(state->monitorVersion(), version + 1);
    EXPECT_EQ(state->monitorLabel(), "Original");
    ASSERT_TRUE(waitUntil([&] { return state->isPlaying() || !state->busy(); }));
    ASSERT_TRUE(state->isPlaying());
    EXPECT_GT(state->playbackOffset(), 2.05);  // not back at 2 s
    EXPECT_LT(state->playbackOffset(), 4.0);
    state->stop();
}

}  // namespace
}  // namespace corvaline::app
