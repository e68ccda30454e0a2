#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <regex>

#include "FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"
#include "audiocore/model/AudioFailure.hpp"

namespace corvaline {
namespace {

using test::Planes;

LoudnessReport measurePlanes(const Planes& planes, double rate = 48000,
                             std::optional<std::vector<bool>> selected = std::nullopt) {
    LoudnessMeter meter(rate, int(planes.size()), selected);
    AudioBuffer block(int(planes.size()), 4000);
    const size_t frames = planes[0].size();
    for (size_t at = 0; at < frames; at += 4000) {
        const auto n = uint32_t(std::min<size_t>(4000, frames - at));
        for (size_t c = 0; c < planes.size(); ++c) {
            std::copy_n(planes[c].data() + at, n, block.channel(int(c)));
        }
        block.setFrameLength(n);
        meter.add(block, rate);
    }
    return meter.report();
}

void expectFailure(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const AudioFailure& failure) {
        EXPECT_EQ(failure.message(), message);
    }
}

TEST(LoudnessMeterTest, ReferenceSinesReadTheirLevel) {
    // 1 kHz sine on both channels, 20 s: -23 dBFS reads -23.0 LUFS, -33 dBFS reads -33.0.
    for (double level : {-23.0, -33.0}) {
        const auto report =
            measurePlanes(test::generate(2, 20 * 48000, test::sine(test::linear(level), 1000)));
        ASSERT_TRUE(report.integrated);
        EXPECT_NEAR(*report.integrated, level, 0.1);
        ASSERT_TRUE(report.range);
        EXPECT_NEAR(*report.range, 0.0, 0.1);
        EXPECT_NEAR(report.truePeak, level, 0.1);
    }
}

TEST(LoudnessMeterTest, TruePeakOfInterSampleSignals) {
    // Sines whose samples miss the crest: the true peak is the crest, within +0.2/-0.4 dB.
    struct Case {
        double frequency, phaseDegrees, amplitude, expected;
    };
    const Case cases[] = {
        {12000, 0, 0.5, -6.02},    // fs/4, samples on the crest
        {12000, 45, 0.5, -6.02},   // fs/4, samples 3 dB below the crest
        {12000, 45, 1.4125, 3.0},  // samples at full scale, true peak +3 dBTP
    };
    for (const auto& c : cases) {
        const auto report = measurePlanes(test::generate(
            1, 48000, test::sine(c.amplitude, c.frequency, 48000, c.phaseDegrees * M_PI / 180)));
        EXPECT_LE(report.truePeak, c.expected + 0.2) << c.frequency << " Hz " << c.phaseDegrees;
        EXPECT_GE(report.truePeak, c.expected - 0.4) << c.frequency << " Hz " << c.phaseDegrees;
    }
}

TEST(LoudnessMeterTest, ShortAndSilentProgrammes) {
    const auto silent = measurePlanes(test::generate(2, 10 * 48000, [](size_t) { return 0.0f; }));
    EXPECT_FALSE(silent.integrated);
    EXPECT_EQ(silent.truePeak, -std::numeric_limits<double>::infinity());

    const auto short3 = measurePlanes(test::generate(1, 14400, test::sine(0.5, 440)));
    EXPECT_FALSE(short3.integrated);
    EXPECT_FALSE(short3.range);
    EXPECT_NEAR(short3.truePeak, -6.02, 0.1);

    const auto two = measurePlanes(test::generate(1, 96000, test::sine(0.5, 440)));
    EXPECT_TRUE(two.integrated);
    EXPECT_FALSE(two.range);
}

TEST(LoudnessMeterTest, APeakInTheLastSamplesIsStillSeen) {
    // Two equal samples at the very end overshoot between them; the flush makes the
    // interpolator emit that overshoot. Padding the file with silence must not change it.
    Planes ending = test::generate(1, 48000, [](size_t) { return 0.0f; });
    ending[0][47998] = ending[0][47999] = 0.9f;
    Planes padded = ending;
    padded[0].resize(48200, 0.0f);
    const double atEnd = measurePlanes(ending).truePeak;
    EXPECT_GT(atEnd, 20 * std::log10(0.9) + 0.1);
    EXPECT_NEAR(atEnd, measurePlanes(padded).truePeak, 0.01);
}

TEST(LoudnessMeterTest, OnlySelectedChannelsAreMeasuredWithEqualWeight) {
    Planes planes = test::generate(3, 5 * 48000, test::sine(test::linear(-23), 1000));
    for (auto& x : planes[2])
        x *= 4;  // a loud channel that is not selected
    const auto report = measurePlanes(planes, 48000, std::vector<bool>{true, true});
    EXPECT_NEAR(*report.integrated, -23.0, 0.1);
    EXPECT_NEAR(report.truePeak, -23.0, 0.1);
    // A single channel weighs like one of two: 3 dB lower.
    const auto one = measurePlanes(planes, 48000, std::vector<bool>{false, true});
    EXPECT_NEAR(*one.integrated, -26.0, 0.1);
}

TEST(LoudnessMeterTest, FailureMessages) {
    const std::string format = "Loudness analysis needs 1-64 selected audio tracks at 8-192 kHz.";
    expectFailure([] { LoudnessMeter(48000, 65); }, format);
    expectFailure([] { LoudnessMeter(4000, 2); }, format);
    expectFailure([] { LoudnessMeter(48000, 2, std::vector<bool>{false, false}); }, format);
    expectFailure([] { LoudnessMeter(48000, 2, std::vector<bool>{}); }, format);
    LoudnessMeter(48000, 65, std::vector<bool>(64, true));  // 64 of 65 is fine

    LoudnessMeter meter(48000, 3);
    AudioBuffer narrow(2, 16);
    narrow.setFrameLength(16);
    expectFailure([&] { meter.add(narrow); }, "Invalid loudness buffer format.");
    AudioBuffer block(3, 16);
    block.setFrameLength(16);
    expectFailure([&] { meter.add(block, 44100); }, "Invalid loudness buffer format.");
    block.channel(2)[5] = std::numeric_limits<float>::infinity();
    expectFailure([&] { meter.add(block); }, "Non-finite audio cannot be normalized.");
    EXPECT_EQ(meter.frames(), 0);
    const auto report = meter.report();
    EXPECT_EQ(meter.report(), report);
    expectFailure([&] { meter.add(block); }, "Loudness analysis is already complete.");
}

// The `ffmpeg` program's own EBU R128 meter on the same file.
struct Reference {
    double integrated = NAN, range = NAN, peak = NAN;
};
Reference ffmpegMeasure(const std::filesystem::path& file) {
    const std::string command = "ffmpeg -nostats -hide_banner -i '" + file.string() +
                                "' -af ebur128=peak=true -f null - 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string output;
    char line[512];
    while (fgets(line, sizeof line, pipe))
        output += line;
    pclose(pipe);
    Reference result;
    auto last = [&](const std::string& label) {
        const std::regex pattern(label + R"(\s+(-?[0-9.]+|-inf))");
        double value = NAN;
        for (auto it = std::sregex_iterator(output.begin(), output.end(), pattern);
             it != std::sregex_iterator(); ++it) {
            value = std::strtod((*it)[1].str().c_str(), nullptr);
        }
        return value;
    };
    result.integrated = last("I:");
    result.range = last("LRA:");
    result.peak = last("Peak:");
    return result;
}

TEST(LoudnessMeterTest, AgreesWithTheFfmpegMeter) {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg program";
    test::TempDir dir;
    // 30 s of a speech-like programme: voiced harmonics up to about 4 kHz (two voices, one per
    // channel), syllables at 4 Hz, phrases at three levels and a pause.
    Planes planes(2, std::vector<float>(30 * 48000));
    for (size_t i = 0; i < planes[0].size(); ++i) {
        const double t = double(i) / 48000;
        const double phrase = t < 10 ? 0.3 : t < 14 ? 0.0 : t < 22 ? 0.08 : 0.5;
        const double syllable = 0.5 + 0.5 * std::sin(2 * M_PI * 4 * t);
        double voiceA = 0, voiceB = 0;
        for (int k = 1; k <= 25; ++k) {
            voiceA += std::sin(2 * M_PI * 150 * k * t + 0.7 * k * k) / k;
            voiceB += std::sin(2 * M_PI * 185 * k * t + 1.3 * k) / k;
        }
        planes[0][i] = float(0.5 * phrase * syllable * voiceA);
        planes[1][i] = float(0.35 * phrase * syllable * voiceB);
    }
    const auto url = dir / "speechlike.wav";
    test::writeWave(url, planes);
    const auto ours = LoudnessMeter::measure(url);
    const auto theirs = ffmpegMeasure(url);
    ASSERT_TRUE(ours.integrated && ours.range);
    ASSERT_FALSE(std::isnan(theirs.integrated));
    EXPECT_NEAR(*ours.integrated, theirs.integrated, 0.1);
    EXPECT_NEAR(*ours.range, theirs.range, 0.6);
    EXPECT_NEAR(ours.truePeak, theirs.peak, 0.2);
}

TEST(LoudnessNormalizationTest, GainDecisions) {
    auto decide = [](double integrated, double truePeak, double target = -16) {
        ProcessingSettings settings;
        settings.targetLUFS = target;
        return LoudnessNormalization::decide({integrated, std::nullopt, truePeak}, settings);
    };
    auto limited = decide(-26, -10);  // needs +10, room 8.95
    EXPECT_NEAR(limited.gainDB, 8.95, 1e-9);
    EXPECT_TRUE(limited.peakLimited);
    auto plain = decide(-20, -6);
    EXPECT_NEAR(plain.gainDB, 4, 1e-9);
    EXPECT_FALSE(plain.peakLimited);
    auto down = decide(-12, -0.5);
    EXPECT_NEAR(down.gainDB, -4, 1e-9);
    EXPECT_FALSE(down.peakLimited);
    auto boost = decide(-50, -40);  // needs +34, boost limit 18
    EXPECT_NEAR(boost.gainDB, 18, 1e-9);
    EXPECT_TRUE(boost.peakLimited);
    auto guarded = decide(-20, -6, std::numeric_limits<double>::quiet_NaN());
    EXPECT_NEAR(guarded.gainDB, 4, 1e-9);  // a non-finite target counts as -16
    auto clamped = decide(-40, -30, -3);   // target clamped to -9; boost limit 18
    EXPECT_NEAR(clamped.gainDB, 18, 1e-9);

    ProcessingSettings settings;
    const auto silent = LoudnessNormalization::decide(
        {std::nullopt, std::nullopt, -std::numeric_limits<double>::infinity()}, settings);
    EXPECT_EQ(silent.gainDB, 0);
    EXPECT_FALSE(silent.peakLimited);
}

TEST(LoudnessNormalizationTest, PlansMeasureTheProcessedProgrammeAndAreCached) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    LoudnessNormalization::clearCache();
    const auto url = dir / "programme.wav";
    test::writeWave(url, test::generate(2, 5 * 48000, test::sine(test::linear(-26), 1000)));
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.normalizationEnabled = true;
    const std::vector<ChannelSettings> channels(2);
    const auto first = LoudnessNormalization::plan(url, std::nullopt, settings, channels);
    ASSERT_TRUE(first.measured.integrated);
    EXPECT_NEAR(*first.measured.integrated, -26, 0.1);
    EXPECT_NEAR(first.gainDB, 10, 0.1);

    // Replace the audio with a louder one of the same size and modification time: the cached
    // plan is returned without measuring.
    const auto stamp = fs::last_write_time(url);
    test::writeWave(url, test::generate(2, 5 * 48000, test::sine(test::linear(-20), 1000)));
    fs::last_write_time(url, stamp);
    EXPECT_EQ(LoudnessNormalization::plan(url, std::nullopt, settings, channels), first);

    // A new modification time measures again.
    fs::last_write_time(url, stamp + std::chrono::seconds(5));
    const auto touched = LoudnessNormalization::plan(url, std::nullopt, settings, channels);
    EXPECT_NEAR(*touched.measured.integrated, -20, 0.1);
    EXPECT_EQ(LoudnessNormalization::cacheSize(), 2u);

    // Eight more distinct plans push out the oldest (the touched file's first key is long gone;
    // the second entry is the touched plan).
    for (int i = 0; i < 8; ++i) {
        ProcessingSettings other = settings;
        other.targetLUFS = -30 + i;
        LoudnessNormalization::plan(url, std::nullopt, other, channels);
    }
    EXPECT_EQ(LoudnessNormalization::cacheSize(), 8u);
    // The touched plan was evicted: rewrite quietly at the same stamp and size, and the plan
    // must now reflect the new audio.
    const auto stamp2 = fs::last_write_time(url);
    test::writeWave(url, test::generate(2, 5 * 48000, test::sine(test::linear(-30), 1000)));
    fs::last_write_time(url, stamp2);
    const auto remeasured = LoudnessNormalization::plan(url, std::nullopt, settings, channels);
    EXPECT_NEAR(*remeasured.measured.integrated, -30, 0.1);
    // ... while the most recent of the eight is still cached and still describes -20 LUFS.
    ProcessingSettings last = settings;
    last.targetLUFS = -23;
    EXPECT_NEAR(*LoudnessNormalization::plan(url, std::nullopt, last, channels).measured.integrated,
                -20, 0.1);

    // A failed measurement is not cached.
    LoudnessNormalization::clearCache();
    const std::vector<ChannelSettings> none(2, ChannelSettings{false, false, false});
    EXPECT_THROW(LoudnessNormalization::plan(url, std::nullopt, settings, none), AudioFailure);
    EXPECT_EQ(LoudnessNormalization::cacheSize(), 0u);
}

}  // namespace
}  // namespace corvaline
