#include "audiocore/finishing/AudioDSP.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::Planes;

// A hot speech-like programme: voiced harmonics with syllables, sample peak near full scale
// and inter-sample peaks above it.
Planes hotProgramme(int channels, double seconds) {
    Planes planes(size_t(channels), std::vector<float>(size_t(seconds * 48000)));
    for (size_t c = 0; c < planes.size(); ++c) {
        for (size_t i = 0; i < planes[c].size(); ++i) {
            const double t = double(i) / 48000;
            double voice = 0;
            for (int k = 1; k <= 30; ++k) {
                voice += std::sin(2 * M_PI * (140 + 20 * double(c)) * k * t + 0.9 * k * k) / k;
            }
            const double syllable = 0.3 + 0.7 * std::abs(std::sin(2 * M_PI * 2.5 * t));
            planes[c][i] = float(0.7 * syllable * voice);
        }
    }
    return planes;
}

double truePeak(const fs::path& url, std::vector<bool> selected) {
    return LoudnessMeter::measure(url, selected).truePeak;
}

bool hiddenLeftovers(const fs::path& dir) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(".dsp-", 0) == 0) return true;
    }
    return false;
}

void expectFailure(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const AudioFailure& failure) {
        EXPECT_EQ(failure.message(), message);
    }
}

class RenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        source = dir / "hot.wav";
        test::writeWave(source, hotProgramme(2, 6));
    }
    test::TempDir dir;
    fs::path source;
    const std::vector<ChannelSettings> both = std::vector<ChannelSettings>(2);
};

TEST_F(RenderTest, FloatOutputIsTrimmedBelowTheCeiling) {
    // The limiter works hard: compressor off, 6 dB of output gain into a -1 dBTP ceiling.
    ASSERT_GT(truePeak(source, {true, true}), 0.0);
    const auto out = dir / "out.wav";
    ProcessingSettings settings;
    settings.compressorEnabled = false;
    settings.outputGain = 6;
    AudioDSP::render(source, out, settings, both, 32);
    const double limited = truePeak(out, {true, true});
    EXPECT_LE(limited, -1.01 + 1e-4);
    EXPECT_GE(limited, -2.0);
    EXPECT_FALSE(hiddenLeftovers(dir.path()));

    // No limiter, a verified ceiling: the measured trim takes the programme exactly there.
    AudioDSP::render(source, out, ProcessingSettings::bypass(), both, 32, std::nullopt,
                     std::nullopt, -3.0);
    const double trimmed = truePeak(out, {true, true});
    EXPECT_LE(trimmed, -3.01 + 1e-4);
    EXPECT_GE(trimmed, -3.02);
}

TEST_F(RenderTest, PcmOutputMeetsTheCeiling) {
    const auto out = dir / "out24.wav";
    // Right under full scale, where 24-bit rounding matters most.
    AudioDSP::render(source, out, ProcessingSettings::bypass(), both, 24, std::nullopt,
                     std::nullopt, -0.1);
    const double peak = truePeak(out, {true, true});
    EXPECT_LE(peak, -0.1 + 0.001);
    EXPECT_GE(peak, -0.2);
    EXPECT_EQ(AudioIO::open(out)->fileBitDepth(), 24);
    EXPECT_FALSE(hiddenLeftovers(dir.path()));
}

TEST_F(RenderTest, TrimIsNeverABoostAndLeavesUnprocessedChannelsAlone) {
    // Already 3 dB under the ceiling: written unchanged.
    const auto quiet = dir / "quiet.wav";
    Planes planes = hotProgramme(2, 2);
    const double peak = std::pow(10.0, truePeak(source, {true, true}) / 20);
    for (auto& plane : planes) {
        for (auto& x : plane)
            x = float(x / peak * test::linear(-3));
    }
    test::writeWave(quiet, planes);
    const auto out = dir / "out.wav";
    AudioDSP::render(quiet, out, ProcessingSettings::bypass(), both, 32, std::nullopt, std::nullopt,
                     -1.0);
    EXPECT_EQ(test::readWave(out), test::readWave(quiet));

    // Channel 1 not processed: the trim brings channel 0 under -6 dBTP and never touches 1.
    std::vector<ChannelSettings> first(2);
    first[1].process = false;
    AudioDSP::render(source, out, ProcessingSettings::bypass(), first, 32, std::nullopt,
                     std::nullopt, -6.0);
    const Planes in = test::readWave(source);
    const Planes result = test::readWave(out);
    EXPECT_EQ(result[1], in[1]);
    EXPECT_LE(truePeak(out, {true, false}), -6.01 + 1e-4);

    // Nothing processed: written directly, no measurement, no trim.
    std::vector<ChannelSettings> none(2, ChannelSettings{false, false, false});
    AudioDSP::render(source, out, ProcessingSettings(), none, 32, std::nullopt, std::nullopt, -1.0);
    EXPECT_EQ(test::readWave(out), in);
}

TEST_F(RenderTest, IntegerOutputClipsAndNeverWraps) {
    const auto loud = dir / "loud.wav";
    test::writeWave(loud, test::generate(1, 1000, [](size_t i) { return i % 2 ? 1.5f : -1.5f; }));
    const auto out = dir / "out24.wav";
    AudioDSP::render(loud, out, ProcessingSettings::bypass(), {ChannelSettings{}}, 24);
    const Planes result = test::readWave(out);
    for (size_t i = 0; i < 1000; ++i) {
        ASSERT_NEAR(result[0][i], i % 2 ? 1.0f : -1.0f, 1e-6) << "frame " << i;
    }
}

TEST_F(RenderTest, SizeLimitByArithmetic) {
    // 64 channels of 24-bit audio are 192 bytes a frame.
    EXPECT_NO_THROW(AudioDSP::requireWaveSize(64, 24, 22'202'954));
    const std::string message =
        "Export exceeds the 4 GB WAV limit. Use a shorter source for this version.";
    expectFailure([] { AudioDSP::requireWaveSize(64, 24, 22'202'955); }, message);
    expectFailure([] { AudioDSP::requireWaveSize(64, 32, 22'202'954); }, message);
    EXPECT_NO_THROW(AudioDSP::requireWaveSize(64, 32, 16'652'215));
    expectFailure([] { AudioDSP::requireWaveSize(64, 32, 16'652'216); }, message);
    expectFailure([] { AudioDSP::requireWaveSize(128, 32, int64_t(1) << 60); }, message);
    EXPECT_NO_THROW(AudioDSP::requireWaveSize(2, 24, 0));
}

TEST_F(RenderTest, RefusesToWriteOverItsInputs) {
    const std::string message = "Choose a different output file to protect the source recording.";
    const auto before = test::readFile(source);
    const auto link = dir / "link.wav";
    fs::create_symlink(source, link);
    expectFailure([&] { AudioDSP::render(source, link, ProcessingSettings(), both, 24); }, message);
    expectFailure([&] { AudioDSP::render(link, source, ProcessingSettings(), both, 24); }, message);
    expectFailure(
        [&] {
            AudioDSP::render(source, dir.path() / "." / "hot.wav", ProcessingSettings(), both, 24);
        },
        message);
    const auto other = dir / "restored.wav";
    test::writeWave(other, hotProgramme(2, 1));
    expectFailure(
        [&] {
            AudioDSP::render(other, link, ProcessingSettings(), both, 24,
                             OriginalAudioReference{source, 0});
        },
        message);
    expectFailure(
        [&] {
            AudioDSP::render(other, link, ProcessingSettings(), both, 24, std::nullopt,
                             OriginalAudioReference{source, 0});
        },
        message);
    fs::create_hard_link(source, dir / "hard.wav");
    expectFailure(
        [&] { AudioDSP::render(source, dir / "hard.wav", ProcessingSettings(), both, 24); },
        message);
    EXPECT_TRUE(test::readFile(source) == before) << "the source changed";
}

TEST_F(RenderTest, CancellationLeavesNoIntermediate) {
    std::stop_source stop;
    std::vector<double> reports;
    auto progress = [&](double fraction) {
        reports.push_back(fraction);
        stop.request_stop();
    };
    EXPECT_THROW(
        AudioDSP::render(source, dir / "out.wav", ProcessingSettings(), both, 24, std::nullopt,
                         std::nullopt, std::nullopt, progress, stop.get_token()),
        Cancelled);
    EXPECT_FALSE(reports.empty());
    EXPECT_FALSE(hiddenLeftovers(dir.path()));

    // Without cancellation the progress climbs to 1.
    reports.clear();
    AudioDSP::render(source, dir / "out.wav", ProcessingSettings(), both, 24, std::nullopt,
                     std::nullopt, std::nullopt, [&](double f) { reports.push_back(f); });
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), 1.0);

    // A failing stream (the original does not match) also leaves nothing behind.
    const auto mono = dir / "mono.wav";
    test::writeWave(mono, test::generate(1, 100, [](size_t) { return 0.0f; }));
    EXPECT_THROW(AudioDSP::render(source, dir / "out.wav", ProcessingSettings(), both, 24,
                                  OriginalAudioReference{mono, 0}),
                 AudioFailure);
    EXPECT_FALSE(hiddenLeftovers(dir.path()));
}

}  // namespace
}  // namespace corvaline
