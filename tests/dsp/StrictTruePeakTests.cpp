#include "audiocore/dsp/TruePeakMeter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "OversampledReference.hpp"
#include "audiocore/dsp/BlockTruePeak.hpp"
#include "audiocore/dsp/cv_peak.h"

namespace corvaline {
namespace {

double strictPeak(const std::vector<float>& x, uint32_t blockFrames) {
    TruePeakMeter meter(1);
    for (size_t at = 0; at < x.size(); at += blockFrames) {
        const float* plane = x.data() + at;
        meter.add(&plane, uint32_t(std::min<size_t>(blockFrames, x.size() - at)));
    }
    return meter.peakDB();
}

double fourTimesPeak(const std::vector<float>& x) {
    cv_peak* detector = cv_peak_create(1);
    double peak = 0;
    for (float v : x)
        peak = std::max(peak, cv_peak_tick(detector, &v));
    for (int i = 0; i < 16; ++i) {
        const float zero = 0;
        peak = std::max(peak, cv_peak_tick(detector, &zero));
    }
    cv_peak_destroy(detector);
    return 20 * std::log10(peak);
}

std::vector<float> tone(double frequency, double rate, double phase, size_t frames) {
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i) {
        // A short fade at both ends keeps the tone band-limited.
        const double fade = std::min({1.0, double(i) / 256, double(frames - i) / 256});
        x[i] = float(0.5 * fade *
                     std::sin(2 * std::numbers::pi * frequency * double(i) / rate + phase));
    }
    return x;
}

// Hot, dense material: harmonics up to near half the rate, clipped to a flat sample peak so
// that the inter-sample peaks stand above it.
std::vector<float> hotMaterial(double rate, size_t frames) {
    std::vector<float> x(frames);
    uint32_t state = 7;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        double v = 0;
        for (int k = 1; k <= 12; ++k)
            v += std::sin(2 * std::numbers::pi * 1700 * k * t + 0.7 * k * k) / std::sqrt(k);
        state = state * 1664525u + 1013904223u;
        v += 0.3 * (double(state) / 2147483648.0 - 1.0);
        x[i] = float(std::clamp(0.6 * v, -0.95, 0.95));
    }
    return x;
}

TEST(StrictTruePeakTest, ReadsAtOrJustAboveAnIndependentOversampledReference) {
    struct Case {
        const char* what;
        std::vector<float> signal;
    };
    const std::vector<Case> cases = {
        {"quarter-rate tone between samples", tone(12000, 48000, std::numbers::pi / 4, 4800)},
        {"tone near half the rate at 44.1 kHz", tone(19000, 44100, 0.3, 4410)},
        {"hot material at 44.1 kHz", hotMaterial(44100, 4410)},
        {"hot material at 48 kHz", hotMaterial(48000, 4800)},
        {"hot material at 96 kHz", hotMaterial(96000, 9600)},
    };
    for (const Case& c : cases) {
        const double reference = test::referenceTruePeak(c.signal);
        const double strict = strictPeak(c.signal, 16384);
        // An upper bound of the reconstruction, and a tight one.
        EXPECT_GE(strict, reference - 0.002) << c.what;
        EXPECT_LE(strict, reference + 0.03) << c.what;
        // Block boundaries change nothing.
        EXPECT_EQ(strictPeak(c.signal, 1), strict) << c.what;
        EXPECT_EQ(strictPeak(c.signal, 1000), strict) << c.what;
    }
    // A tone whose peaks fall between the samples reads its amplitude, not its samples.
    const auto between = tone(12000, 48000, std::numbers::pi / 4, 4800);
    EXPECT_NEAR(strictPeak(between, 4096), 20 * std::log10(0.5), 0.01);
    // The 4x detector never reads above the strict meter.
    for (const Case& c : cases)
        EXPECT_LE(fourTimesPeak(c.signal), strictPeak(c.signal, 4096) + 1e-6) << c.what;
}

// Signals whose peaks sit in every position between the samples, in lobes of every width: the
// meter evaluates its long kernel only where the coarse grid tops a lobe, so each of these must
// still read at or just above an oversampled reference, block by block or whole.
TEST(StrictTruePeakTest, HardSignalsReadAtOrAboveTheReference) {
    struct Case {
        std::string what;
        std::vector<float> signal;
        double slack = 0.03;  ///< how far above the reference a reading may be
    };
    std::vector<Case> cases;
    for (const double rate : {44100.0, 48000.0, 96000.0}) {
        const std::string at = " at " + std::to_string(int(rate)) + " Hz";
        // Steady tones near a quarter of the rate: lobe tops drift slowly across the grid.
        for (const double offset : {-7.3, 0.0, 3.0, 11.9}) {
            cases.push_back({"tone at rate/4 " + std::to_string(offset) + at,
                             tone(rate / 4 + offset, rate, 0.37 + offset, 3000)});
        }
        cases.push_back({"tone at 0.45 of the rate" + at, tone(0.45 * rate, rate, 1.3, 3000)});
        cases.push_back({"997 Hz tone" + at, tone(997, rate, 0.2, 6000)});
        // Clipped sines and squares: flat runs of samples with overshoots between them.
        std::vector<float> clipped(4000);
        std::vector<float> square(4000);
        for (size_t i = 0; i < clipped.size(); ++i) {
            const double v = std::sin(2 * std::numbers::pi * 1500 * double(i) / rate + 0.3);
            clipped[i] = float(0.9 * std::clamp(4 * v, -1.0, 1.0));
            square[i] = std::fmod(double(i) * 4410 / rate, 1.0) < 0.5 ? 0.9f : -0.9f;
        }
        cases.push_back({"clipped sine" + at, clipped});
        cases.push_back({"square" + at, square});
        // A chirp sweeps lobe widths from wide to about one sample.
        std::vector<float> chirp(12000);
        const double seconds = double(chirp.size()) / rate;
        for (size_t i = 0; i < chirp.size(); ++i) {
            const double t = double(i) / rate;
            const double fade = std::min({1.0, double(i) / 256, double(chirp.size() - i) / 256});
            chirp[i] = float(0.8 * fade *
                             std::sin(2 * std::numbers::pi *
                                      (20 * t + (0.45 * rate - 20) * t * t / (2 * seconds))));
        }
        cases.push_back({"chirp" + at, chirp});
    }
    // Strong content close to half the rate, which the coarse grid's short kernel reads
    // several dB low; a start without a fade, which rings before the first sample.
    std::vector<float> bright(2000);
    std::vector<float> abrupt(600);
    for (size_t i = 0; i < bright.size(); ++i) {
        const double n = double(i);
        bright[i] = float(0.2 * std::sin(2 * std::numbers::pi * 0.4715 * n + 2.8) +
                          0.2 * std::sin(2 * std::numbers::pi * 0.4823 * n + 0.4));
    }
    for (size_t i = 0; i < abrupt.size(); ++i) {
        const double fadeOut = std::min(1.0, double(abrupt.size() - i) / 128);
        abrupt[i] =
            float(0.3 * fadeOut * std::sin(2 * std::numbers::pi * 0.4096 * double(i) + 1.8));
    }
    // Within 2% of half the rate, kernels of different shapes reconstruct differently: the
    // reading stays an upper bound, a little looser.
    cases.push_back({"near half the rate", bright, 0.1});
    cases.push_back({"abrupt start", abrupt});
    // One band-limited pulse standing above a steady tone, its top moved through every sample
    // and phase of a stretch longer than the spans the meter screens together.
    for (int step = 0; step < 80; ++step) {
        std::vector<float> pulse = tone(3000, 48000, 0.1, 900);
        const double centre = 400 + step * 0.4375;
        for (size_t i = 0; i < pulse.size(); ++i) {
            const double d = double(i) - centre;
            const double window =
                std::abs(d) < 40 ? 0.5 + 0.5 * std::cos(std::numbers::pi * d / 40) : 0;
            const double sinc =
                d == 0 ? 1 : std::sin(0.8 * std::numbers::pi * d) / (0.8 * std::numbers::pi * d);
            pulse[i] += float(0.4 * window * sinc);
        }
        cases.push_back({"pulse at " + std::to_string(centre), pulse});
    }
    for (const Case& c : cases) {
        const double reference = test::referenceTruePeak(c.signal);
        const double strict = strictPeak(c.signal, 4096);
        EXPECT_GE(strict, reference - 0.002) << c.what;
        EXPECT_LE(strict, reference + c.slack) << c.what;
        EXPECT_EQ(strictPeak(c.signal, 333), strict) << c.what;
    }
}

TEST(StrictTruePeakTest, SilenceEdgesAndChannels) {
    TruePeakMeter silent(2);
    std::vector<float> zeros(1000, 0.0f);
    const float* planes[2] = {zeros.data(), zeros.data()};
    silent.add(planes, 1000);
    EXPECT_EQ(silent.peakDB(), -std::numeric_limits<double>::infinity());

    // A full-scale sample at the very end still counts (its ringing is flushed).
    std::vector<float> last(500, 0.0f);
    last.back() = 1.0f;
    EXPECT_GE(strictPeak(last, 128), 0.0);

    // The loudest channel wins; non-finite samples count as silence.
    std::vector<float> quiet(800, 0.1f);
    std::vector<float> loud = tone(1000, 48000, 0, 800);
    loud[384] = std::numeric_limits<float>::quiet_NaN();  // a zero crossing
    TruePeakMeter two(2);
    const float* pair[2] = {quiet.data(), loud.data()};
    two.add(pair, 800);
    EXPECT_NEAR(two.peakDB(), 20 * std::log10(0.5), 0.01);
    // Reading the peak does not disturb the measurement.
    two.add(pair, 800);
    EXPECT_NEAR(two.peakDB(), 20 * std::log10(0.5), 0.01);
}

// The block form of the 4x interpolator reads exactly what the frame-by-frame detector reads,
// whatever the block sizes.
TEST(StrictTruePeakTest, BlockFourTimesDetectorIsBitIdenticalToTheFrameDetector) {
    std::vector<float> x = hotMaterial(48000, 20000);
    for (size_t i = 0; i < x.size(); i += 997)
        x[i] = -x[i] * 1.05f;  // spikes between the clipped stretches
    cv_peak* detector = cv_peak_create(1);
    std::vector<double> frameRunning;
    double running = 0;
    for (float v : x) {
        running = std::max(running, cv_peak_tick(detector, &v));
        frameRunning.push_back(running);
    }
    cv_peak_destroy(detector);
    for (const uint32_t size : {1u, 5u, 31u, 32u, 33u, 4096u, 20000u}) {
        BlockTruePeak block(1);
        size_t at = 0;
        while (at < x.size()) {
            const auto n = uint32_t(std::min<size_t>(size, x.size() - at));
            block.add(0, x.data() + at, n);
            at += n;
            ASSERT_EQ(block.peak(0), frameRunning[at - 1]) << "block size " << size;
        }
    }
    // Frame by frame from blocks: every frame reads what the frame detector reads for it.
    cv_peak* frames = cv_peak_create(1);
    std::vector<double> framePeaks(x.size(), 0.0);
    BlockTruePeak block(1);
    for (size_t at = 0; at < x.size(); at += 61)
        block.addFrames(0, x.data() + at, uint32_t(std::min<size_t>(61, x.size() - at)),
                        framePeaks.data() + at);
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(framePeaks[i], cv_peak_tick(frames, &x[i])) << "frame " << i;
    cv_peak_destroy(frames);
}

}  // namespace

// Content near half the rate, where interpolators with shorter or differently shaped kernels
// disagree, against the exact peak: sums of sines are known at every instant, so the reference
// evaluates the continuous signal itself (128 points a sample) and shares no kernel with anyone.
TEST(StrictTruePeakTest, NearHalfTheRateReadsAtOrAboveTheExactPeak) {
    struct Tone {
        double frequency;  ///< cycles per sample
        double amplitude;
        double phase;
    };
    const std::vector<std::vector<Tone>> mixes = {
        {{0.46, 0.9, 0.3}},
        {{0.475, 0.9, 2.0}},
        {{0.4715, 0.45, 2.8}, {0.4823, 0.45, 0.4}},
        {{0.455, 0.4, 1.1}, {0.468, 0.3, 0.2}, {0.25, 0.25, 0.9}},
        {{0.479, 0.5, 0.0}, {0.4611, 0.45, 1.7}},
    };
    constexpr long kFrames = 6000;
    constexpr double kFade = 1500;  // a slow fade keeps the spectrum inside half the rate
    double worstFourTimes = 0;
    for (size_t m = 0; m < mixes.size(); ++m) {
        const auto value = [&](double t) {
            const double fade =
                t < kFade ? 0.5 - 0.5 * std::cos(std::numbers::pi * t / kFade)
                : t > double(kFrames - 1) - kFade
                    ? 0.5 - 0.5 * std::cos(std::numbers::pi * (double(kFrames - 1) - t) / kFade)
                    : 1.0;
            double v = 0;
            for (const Tone& tone : mixes[m])
                v += tone.amplitude *
                     std::sin(2 * std::numbers::pi * tone.frequency * t + tone.phase);
            return fade * v;
        };
        std::vector<float> x(static_cast<size_t>(kFrames));
        for (long i = 0; i < kFrames; ++i)
            x[size_t(i)] = float(value(double(i)));
        double exact = 0;
        for (long i = 0; i + 1 < kFrames; ++i) {
            for (int s = 0; s < 128; ++s)
                exact = std::max(exact, std::abs(value(double(i) + s / 128.0)));
        }
        const double exactDB = 20 * std::log10(exact);
        const double strict = strictPeak(x, 4096);
        EXPECT_GE(strict, exactDB - 0.002) << "mix " << m;
        EXPECT_LE(strict, exactDB + 0.02) << "mix " << m;
        worstFourTimes = std::max(worstFourTimes, exactDB - fourTimesPeak(x));
    }
    // The mixes are hard: the 4x interpolator reads at least one of them well under its peak.
    EXPECT_GT(worstFourTimes, 0.3);
}

}  // namespace corvaline
