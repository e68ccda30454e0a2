// Level matching of the original and the processed passage through the listening mix.

#include <gtest/gtest.h>

#include <cmath>
#include <stop_token>

#include "MonitorFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/monitor/MonitorLevelMatch.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {
namespace {

namespace LM = MonitorLevelMatch;
using test::makeSignal;

class LevelMatchTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::filesystem::path write(const std::string& name, int channels, uint32_t frames,
                                const std::function<float(int, uint32_t)>& sample,
                                double rate = 48000) {
        auto path = dir / name;
        test::writeWav(path, makeSignal(channels, frames, sample), rate);
        return path;
    }
    std::filesystem::path sine(const std::string& name, double amplitude, uint32_t frames = 48000) {
        return write(name, 2, frames,
                     [=](int, uint32_t i) { return test::sine(amplitude, 1000, i); });
    }

    static void expectFailure(const std::function<void()>& call, const char* message) {
        try {
            call();
            ADD_FAILURE() << "expected \"" << message << "\"";
        } catch (const AudioFailure& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
};

TEST_F(LevelMatchTest, StereoMeasuresBothSidesSoALeftOnlySignalIsThreeDecibelsDown) {
    const auto file =
        write("left.wav", 2, 4800, [](int c, uint32_t) { return c == 0 ? 0.5f : 0.f; });
    const auto stats = LM::statistics(file, std::nullopt, {});
    EXPECT_NEAR(stats.rms, 0.5 / std::sqrt(2.0), 1e-6);
    EXPECT_FLOAT_EQ(stats.peak, 0.5);
    EXPECT_EQ(stats.frames, 4800);
    EXPECT_EQ(stats.rate, 48000);

    // Muting the silent right side turns it into dual mono of the left: full level.
    const auto mono = LM::statistics(file, std::nullopt, {{}, {.mute = true}});
    EXPECT_NEAR(mono.rms, 0.5, 1e-6);
}

TEST_F(LevelMatchTest, SoloAndMuteSelectWhatIsMeasured) {
    // Four channels at 0.1, 0.2, 0.3, 0.4.
    const auto file =
        write("four.wav", 4, 1000, [](int c, uint32_t) { return float((c + 1) * 0.1); });
    EXPECT_NEAR(LM::statistics(file, std::nullopt, {{}, {}, {.solo = true}}).rms, 0.3, 1e-6);
    EXPECT_NEAR(LM::statistics(file, std::nullopt, {{}, {}, {.solo = true}, {.solo = true}}).rms,
                0.35, 1e-6);
    EXPECT_NEAR(LM::statistics(file, std::nullopt, {}).rms, 0.25, 1e-6);
    const auto allMuted = LM::statistics(
        file, std::nullopt, {{.mute = true}, {.mute = true}, {.mute = true}, {.mute = true}});
    EXPECT_EQ(allMuted.rms, 0);
    EXPECT_EQ(allMuted.peak, 0);
}

TEST_F(LevelMatchTest, TheSameFileTwiceNeedsNoCorrection) {
    const auto file = sine("a.wav", 0.7);
    const auto [o, p] = LM::gains(file, std::nullopt, file, std::nullopt, {});
    EXPECT_EQ(o, 1);
    EXPECT_EQ(p, 1);
}

TEST_F(LevelMatchTest, ALouderPreviewIsTurnedDownToTheOriginal) {
    const auto original = sine("original.wav", 0.25);
    const auto preview = sine("preview.wav", 0.5);
    const auto [o, p] = LM::gains(original, std::nullopt, preview, std::nullopt, {});
    EXPECT_NEAR(o, 1, 1e-9);
    EXPECT_NEAR(p, 0.5, 1e-4);
    // And the other way round: the louder original is turned down.
    const auto [o2, p2] = LM::gains(preview, std::nullopt, original, std::nullopt, {});
    EXPECT_NEAR(o2, 0.5, 1e-4);
    EXPECT_NEAR(p2, 1, 1e-9);
}

TEST_F(LevelMatchTest, MatchedPeaksAboveTheCeilingTurnBothSidesDownTogether) {
    const LM::Statistics quiet{.rms = 0.5, .peak = 0.7, .frames = 100, .rate = 48000};
    // The louder side's peak lands at exactly 0.99 after matching: no further reduction.
    const LM::Statistics atCeiling{.rms = 1.0, .peak = 1.98, .frames = 100, .rate = 48000};
    auto [o, p] = LM::matchGains(quiet, atCeiling);
    EXPECT_DOUBLE_EQ(o, 1.0);
    EXPECT_DOUBLE_EQ(p, 0.5);
    // One step higher the joint safety factor 0.99 / 1.0 applies to both.
    const LM::Statistics peaky{.rms = 1.0, .peak = 2.0, .frames = 100, .rate = 48000};
    std::tie(o, p) = LM::matchGains(quiet, peaky);
    EXPECT_DOUBLE_EQ(o, 0.99);
    EXPECT_DOUBLE_EQ(p, 0.495);
}

TEST_F(LevelMatchTest, ASilentSideDisablesMatching) {
    const auto loud = sine("loud.wav", 0.5);
    const auto silent = write("silent.wav", 2, 48000, [](int, uint32_t) { return 0.f; });
    const auto nearlySilent =
        write("hiss.wav", 2, 48000, [](int, uint32_t i) { return i % 2 ? 1e-5f : -1e-5f; });
    EXPECT_EQ(LM::gains(loud, std::nullopt, silent, std::nullopt, {}), std::make_pair(1.0, 1.0));
    EXPECT_EQ(LM::gains(silent, std::nullopt, loud, std::nullopt, {}), std::make_pair(1.0, 1.0));
    // 1e-5 RMS is still "silent" (at or below the threshold).
    EXPECT_EQ(LM::gains(nearlySilent, std::nullopt, loud, std::nullopt, {}),
              std::make_pair(1.0, 1.0));
}

TEST_F(LevelMatchTest, PassagesAreValidatedAgainstTheFile) {
    const auto file = sine("a.wav", 0.5, 1000);
    // A range ending exactly at the file's end is valid and measures that passage.
    const auto tail = LM::statistics(file, AudioFrameRange{900, 1000}, {});
    EXPECT_EQ(tail.frames, 100);
    const char* invalid = "Invalid level-matching passage.";
    expectFailure([&] { LM::statistics(file, AudioFrameRange{900, 1001}, {}); }, invalid);
    expectFailure([&] { LM::statistics(file, AudioFrameRange{-1, 10}, {}); }, invalid);
    expectFailure([&] { LM::statistics(file, AudioFrameRange{10, 10}, {}); }, invalid);
    expectFailure([&] { LM::statistics(file, AudioFrameRange{20, 10}, {}); }, invalid);
    EXPECT_NEAR(LM::statistics(file, AudioFrameRange{0, 5}, {}).peak,
                0.5 * std::sin(2 * std::numbers::pi * 4 / 48), 1e-6);
}

TEST_F(LevelMatchTest, DifferentPassagesCannotBeCompared) {
    const auto a = sine("a.wav", 0.5, 1000);
    const auto b = sine("b.wav", 0.5, 2000);
    const auto c = write(
        "c.wav", 2, 1000, [](int, uint32_t) { return 0.1f; }, 44100);
    const char* message = "Level comparison requires the same audition passage.";
    expectFailure([&] { LM::gains(a, std::nullopt, b, std::nullopt, {}); }, message);
    expectFailure([&] { LM::gains(a, std::nullopt, c, std::nullopt, {}); }, message);
    // Equal-length ranges of different files compare fine (whole cycles, same phase).
    const auto [o, p] = LM::gains(a, AudioFrameRange{0, 480}, b, AudioFrameRange{960, 1440}, {});
    EXPECT_NEAR(o, 1, 1e-6);
    EXPECT_NEAR(p, 1, 1e-6);
}

TEST_F(LevelMatchTest, NonFiniteAudioAndCancellationAreReported) {
    const auto broken = write("nan.wav", 2, 1000,
                              [](int c, uint32_t i) { return c == 1 && i == 500 ? NAN : 0.1f; });
    expectFailure([&] { LM::statistics(broken, std::nullopt, {}); }, "Invalid monitor audio.");
    // Muting the broken channel makes the file measurable again.
    EXPECT_NEAR(LM::statistics(broken, std::nullopt, {{}, {.mute = true}}).rms, 0.1, 1e-6);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(LM::statistics(broken, std::nullopt, {}, stop.get_token()), Cancelled);
    EXPECT_ANY_THROW(LM::statistics(dir / "missing.wav", std::nullopt, {}));
}

}  // namespace
}  // namespace corvaline
