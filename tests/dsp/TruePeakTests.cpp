// The streaming true-peak detector against libebur128's own true-peak measurement.

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audiocore/dsp/cv_peak.h"

namespace {

/// Largest detector reading and the library's true peak (both in dB) of interleaved frames.
std::pair<double, double> measure(const std::vector<float>& x, int channels, unsigned rate) {
    cv_peak* detector = cv_peak_create(channels);
    EXPECT_NE(detector, nullptr);
    double ours = 0;
    for (size_t i = 0; i < x.size(); i += size_t(channels)) {
        ours = std::max(ours, cv_peak_tick(detector, x.data() + i));
    }
    cv_peak_destroy(detector);

    ebur128_state* st = ebur128_init(unsigned(channels), rate, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, x.data(), x.size() / size_t(channels));
    double theirs = 0;
    for (int c = 0; c < channels; ++c) {
        double tp = 0;
        ebur128_true_peak(st, unsigned(c), &tp);
        theirs = std::max(theirs, tp);
    }
    ebur128_destroy(&st);
    return {20 * std::log10(ours), 20 * std::log10(theirs)};
}

}  // namespace

TEST(TruePeak, QuarterRateSineReadsAboutThreeDecibelsOverItsSamples) {
    std::vector<float> x(48000);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = float(std::sin(std::numbers::pi / 2 * double(i) + std::numbers::pi / 4));
    }
    const auto [ours, theirs] = measure(x, 1, 48000);
    // Samples sit at 0.707 (−3.01 dB); the windowed sinc reads the crest a little high.
    EXPECT_NEAR(ours, 0.0, 0.15);
    EXPECT_NEAR(ours, theirs, 0.01);
}

TEST(TruePeak, AgreesWithTheLibraryOnMultichannelSignals) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 0.25);
    const size_t frames = 24000;
    std::vector<float> x(frames * 3);
    for (size_t i = 0; i < frames; ++i) {
        // A near-Nyquist sine, white noise and a hard-edged square: all overshoot their samples.
        x[i * 3] = float(0.8 * std::sin(2 * std::numbers::pi * 19997 * double(i) / 44100 + 0.3));
        x[i * 3 + 1] = float(std::clamp(noise(rng), -1.0, 1.0));
        x[i * 3 + 2] = (i / 37) % 2 ? 0.9f : -0.9f;
    }
    const auto [ours, theirs] = measure(x, 3, 44100);
    EXPECT_NEAR(ours, theirs, 0.01);
    EXPECT_GT(ours, 20 * std::log10(0.9) + 0.5);
    for (int c = 0; c < 3; ++c) {  // per channel too: the delay lines do not mix channels
        std::vector<float> mono(frames);
        for (size_t i = 0; i < frames; ++i)
            mono[i] = x[i * 3 + size_t(c)];
        const auto [o, t] = measure(mono, 1, 44100);
        EXPECT_NEAR(o, t, 0.01) << "channel " << c;
    }
}
