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

/// Interleaved frames → (detector maximum, library maximum over channels), both linear.
std::pair<double, double> measure(const std::vector<float>& interleaved, int channels,
                                  unsigned rate) {
    cv_peak* detector = cv_peak_create(channels);
    EXPECT_NE(detector, nullptr);
    double ours = 0;
    const size_t frames = interleaved.size() / size_t(channels);
    for (size_t i = 0; i < frames; ++i) {
        ours = std::max(ours, cv_peak_tick(detector, interleaved.data() + i * size_t(channels)));
    }
    // The delay line drains like the library's, which never flushes its tail either.
    cv_peak_destroy(detector);

    ebur128_state* st = ebur128_init(unsigned(channels), rate, EBUR128_MODE_TRUE_PEAK);
    EXPECT_NE(st, nullptr);
    EXPECT_EQ(ebur128_add_frames_float(st, interleaved.data(), frames), EBUR128_SUCCESS);
    double theirs = 0;
    for (int c = 0; c < channels; ++c) {
        double tp = 0;
        EXPECT_EQ(ebur128_true_peak(st, unsigned(c), &tp), EBUR128_SUCCESS);
        theirs = std::max(theirs, tp);
    }
    ebur128_destroy(&st);
    return {ours, theirs};
}

double dB(double x) {
    return 20 * std::log10(x);
}

}  // namespace

TEST(TruePeak, QuarterRateSineReadsThreeDecibelsOverItsSamplePeak) {
    std::vector<float> x(48000);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = float(std::sin(std::numbers::pi / 2 * double(i) + std::numbers::pi / 4));
    }
    const auto [ours, theirs] = measure(x, 1, 48000);
    // The windowed-sinc interpolator reads the 0 dBFS crest a little high (about +0.1 dB).
    EXPECT_NEAR(dB(ours) - dB(std::sqrt(0.5)), 3.0, 0.2);
    EXPECT_NEAR(dB(ours), dB(theirs), 0.01);
}

TEST(TruePeak, AgreesWithTheLibraryOnVariedMultichannelSignals) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 0.25);
    const int channels = 3;
    const size_t frames = 24000;
    std::vector<float> x(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / 44100;
        // Ch 0: a near-Nyquist sine; ch 1: white noise; ch 2: a hard-edged square.
        x[i * channels + 0] = float(0.8 * std::sin(2 * std::numbers::pi * 19997 * t + 0.3));
        x[i * channels + 1] = float(std::clamp(noise(rng), -1.0, 1.0));
        x[i * channels + 2] = (i / 37) % 2 ? 0.9f : -0.9f;
    }
    const auto [ours, theirs] = measure(x, channels, 44100);
    EXPECT_NEAR(dB(ours), dB(theirs), 0.01);

    // Each channel alone agrees as well, and overshoots its own sample peak.
    for (int c = 0; c < channels; ++c) {
        std::vector<float> mono(frames);
        for (size_t i = 0; i < frames; ++i)
            mono[i] = x[i * channels + size_t(c)];
        const auto [o, t] = measure(mono, 1, 44100);
        EXPECT_NEAR(dB(o), dB(t), 0.01) << "channel " << c;
        const float samplePeak = *std::max_element(
            mono.begin(), mono.end(), [](float a, float b) { return std::abs(a) < std::abs(b); });
        EXPECT_GE(o, std::abs(samplePeak));
    }
}

TEST(TruePeak, StateIsPerChannelAndResettable) {
    cv_peak* detector = cv_peak_create(2);
    ASSERT_NE(detector, nullptr);
    // An impulse on channel 0 rings through the interpolator for 13 frames, never into ch 1.
    const float impulse[2] = {1.0f, 0.0f};
    const float silence[2] = {0.0f, 0.0f};
    EXPECT_DOUBLE_EQ(cv_peak_tick(detector, impulse), 1.0);
    double tail = 0;
    for (int i = 0; i < 12; ++i)
        tail = std::max(tail, cv_peak_tick(detector, silence));
    EXPECT_GT(tail, 0.1);
    EXPECT_EQ(cv_peak_tick(detector, silence), 0.0);

    cv_peak_tick(detector, impulse);
    cv_peak_reset(detector);
    EXPECT_EQ(cv_peak_tick(detector, silence), 0.0);
    cv_peak_destroy(detector);
    cv_peak_destroy(nullptr);

    // Zero channels still give a usable one-channel detector.
    cv_peak* single = cv_peak_create(0);
    ASSERT_NE(single, nullptr);
    const float half = -0.5f;
    EXPECT_DOUBLE_EQ(cv_peak_tick(single, &half), 0.5);
    cv_peak_destroy(single);
}
