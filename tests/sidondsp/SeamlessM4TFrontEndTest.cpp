#include "sidondsp/SeamlessM4TFrontEnd.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <thread>

namespace fe = corvaline::SeamlessM4TFrontEnd;

namespace {

std::vector<float> speechLike(int64_t count, uint32_t seed) {
    // Noise under a slow envelope plus two partials: every band moves from frame to frame.
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> x(static_cast<size_t>(count));
    for (int64_t n = 0; n < count; ++n) {
        const double t = double(n) / 16000.0;
        const double envelope = 0.05 + 0.2 * std::pow(std::sin(std::numbers::pi * 3.0 * t), 2);
        x[size_t(n)] =
            float(envelope * (0.3 * noise(rng) + std::sin(2 * std::numbers::pi * 220 * t) +
                              0.5 * std::sin(2 * std::numbers::pi * 2750 * t)));
    }
    return x;
}

double mel(double hz) {
    return 1127.0 * std::log(1.0 + hz / 700.0);
}

// The features computed from the formulas in double precision, with a direct DFT.
std::vector<double> referenceFeatures(const std::vector<float>& audio) {
    const int64_t frames = (int64_t(audio.size()) - 400) / 160 + 1;
    std::vector<double> window(400);
    for (int n = 0; n < 400; ++n) {
        window[size_t(n)] = std::pow(0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / 399.0), 0.85);
    }
    const double low = mel(20.0), high = mel(8000.0);
    std::vector<double> edges(82);
    for (int k = 0; k < 82; ++k)
        edges[size_t(k)] = low + (high - low) * k / 81.0;
    std::vector<double> cosTable(512), sinTable(512);
    for (int i = 0; i < 512; ++i) {
        cosTable[size_t(i)] = std::cos(2 * std::numbers::pi * i / 512.0);
        sinTable[size_t(i)] = std::sin(2 * std::numbers::pi * i / 512.0);
    }
    std::vector<double> logMel(size_t(frames) * 80);
    for (int64_t t = 0; t < frames; ++t) {
        std::vector<double> x(400);
        double mean = 0;
        for (int n = 0; n < 400; ++n) {
            x[size_t(n)] = double(audio[size_t(t * 160 + n)]) * 32768.0;
            mean += x[size_t(n)] / 400.0;
        }
        for (double& v : x)
            v -= mean;
        std::vector<double> y(400);
        y[0] = x[0] * (1 - 0.97) * window[0];
        for (int n = 1; n < 400; ++n)
            y[size_t(n)] = (x[size_t(n)] - 0.97 * x[size_t(n - 1)]) * window[size_t(n)];
        std::vector<double> energy(80, 0.0);
        for (int k = 0; k < 256; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < 400; ++n) {
                re += y[size_t(n)] * cosTable[size_t((k * n) % 512)];
                im -= y[size_t(n)] * sinTable[size_t((k * n) % 512)];
            }
            const double power = re * re + im * im;
            const double binMel = mel(k * 31.25);
            for (int m = 0; m < 80; ++m) {
                const double up =
                    (binMel - edges[size_t(m)]) / (edges[size_t(m + 1)] - edges[size_t(m)]);
                const double down =
                    (edges[size_t(m + 2)] - binMel) / (edges[size_t(m + 2)] - edges[size_t(m + 1)]);
                energy[size_t(m)] += power * std::max(0.0, std::min(up, down));
            }
        }
        for (int m = 0; m < 80; ++m) {
            logMel[size_t(t * 80 + m)] = std::log(std::max(energy[size_t(m)], std::pow(2.0, -23)));
        }
    }
    for (int m = 0; m < 80; ++m) {
        double mean = 0, squares = 0;
        for (int64_t t = 0; t < frames; ++t)
            mean += logMel[size_t(t * 80 + m)] / double(frames);
        for (int64_t t = 0; t < frames; ++t)
            squares += std::pow(logMel[size_t(t * 80 + m)] - mean, 2);
        const double scale = 1 / std::sqrt(squares / double(frames - 1) + 1e-7);
        for (int64_t t = 0; t < frames; ++t)
            logMel[size_t(t * 80 + m)] = (logMel[size_t(t * 80 + m)] - mean) * scale;
    }
    logMel.resize(size_t(frames / 2) * 160);
    return logMel;
}

}  // namespace

TEST(SeamlessM4TFrontEnd, FrameCountsAndDegenerateLengths) {
    EXPECT_EQ(fe::inputFeatures(std::vector<float>(399, 0.1f)).frames, 0);
    EXPECT_TRUE(fe::inputFeatures(std::vector<float>(400, 0.1f)).features.empty());
    EXPECT_EQ(fe::inputFeatures(std::vector<float>(559, 0.1f)).frames, 0);
    EXPECT_EQ(fe::inputFeatures(nullptr, 1000).frames, 0);

    const auto one = fe::inputFeatures(speechLike(560, 1));
    EXPECT_EQ(one.frames, 1);
    EXPECT_EQ(one.features.size(), 160u);

    const auto window = fe::inputFeatures(speechLike(160000, 2));
    EXPECT_EQ(window.frames, 499);
    EXPECT_EQ(window.features.size(), 499u * 160u);
}

TEST(SeamlessM4TFrontEnd, MatchesDoublePrecisionReference) {
    // 1.0 s plus a few samples: 98 frames, 49 rows; trailing samples are ignored.
    const auto audio = speechLike(16000 + 37, 7);
    const auto result = fe::inputFeatures(audio);
    const auto reference = referenceFeatures(audio);
    ASSERT_EQ(result.frames, 49);
    ASSERT_EQ(result.features.size(), reference.size());
    double worst = 0;
    for (size_t i = 0; i < reference.size(); ++i) {
        worst = std::max(worst, std::abs(double(result.features[i]) - reference[i]));
    }
    // Normalised values are of order 1; the single-precision steps (FFT, log of the weakest
    // bands) stay within 5e-4 of the exact values.
    EXPECT_LT(worst, 5e-4) << "largest deviation from the double-precision reference";
}

TEST(SeamlessM4TFrontEnd, BandsAreNormalisedOverTheWindowIncludingAnOddLastFrame) {
    // 5 frames (odd): the fifth counts in the statistics but is not returned, so the returned
    // four frames must not be zero-mean on their own while the full set is.
    const auto audio = speechLike(400 + 4 * 160, 3);
    const auto odd = fe::inputFeatures(audio);
    ASSERT_EQ(odd.frames, 2);

    const auto window = fe::inputFeatures(speechLike(160000, 4));
    ASSERT_EQ(window.frames, 499);
    const int frames = 998;
    for (int m = 0; m < 80; ++m) {
        double mean = 0;
        for (int t = 0; t < frames; ++t)
            mean += window.features[size_t(t * 80 + m)] / frames;
        double variance = 0;
        for (int t = 0; t < frames; ++t)
            variance += std::pow(window.features[size_t(t * 80 + m)] - mean, 2);
        variance /= frames - 1;
        EXPECT_NEAR(mean, 0.0, 1e-4) << "band " << m;
        EXPECT_LT(variance, 1.0 + 1e-4) << "band " << m;
        EXPECT_GT(variance, 0.999) << "band " << m;
    }

    // With the odd frame excluded from the output, stacking keeps memory order.
    const auto reference = referenceFeatures(audio);
    ASSERT_EQ(reference.size(), 320u);
    for (size_t i = 0; i < 320; ++i)
        EXPECT_NEAR(odd.features[i], reference[i], 1e-3);
}

TEST(SeamlessM4TFrontEnd, SilenceAndNonFiniteInput) {
    const auto silent = fe::inputFeatures(std::vector<float>(16000, 0.0f));
    ASSERT_EQ(silent.frames, 49);
    for (float v : silent.features) {
        ASSERT_TRUE(std::isfinite(v));
        EXPECT_LT(std::abs(v), 0.01f);
    }
    // A NaN sample poisons its frames' bands and the band statistics, but never crashes.
    auto audio = speechLike(1200, 5);
    audio[500] = std::numeric_limits<float>::quiet_NaN();
    const auto poisoned = fe::inputFeatures(audio);
    EXPECT_EQ(poisoned.frames, 3);
    EXPECT_TRUE(std::isnan(poisoned.features[0]));
}

TEST(SeamlessM4TFrontEnd, PoveyWindow) {
    EXPECT_TRUE(fe::poveyWindow(0).empty());
    const auto w = fe::poveyWindow(400);
    ASSERT_EQ(w.size(), 400u);
    for (int n = 0; n < 400; n += 7) {
        EXPECT_NEAR(w[size_t(n)],
                    std::pow(0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / 399.0), 0.85), 2e-6);
    }
}

TEST(SeamlessM4TFrontEnd, MelFilterbankShape) {
    const auto w = fe::makeKaldiMelFilterbank();
    ASSERT_EQ(w.size(), 257u * 80u);
    for (int m = 0; m < 80; ++m)
        EXPECT_EQ(w[size_t(256 * 80 + m)], 0.0f);
    for (float v : w)
        EXPECT_GE(v, 0.0f);

    // Every band is a triangle in mel space: its non-zero bins lie strictly between its
    // outer edges, it peaks near its centre, and each bin's weights on neighbouring bands
    // sum to one inside the 20 Hz...8000 Hz span.
    const double low = mel(20.0), high = mel(8000.0);
    auto edge = [&](int k) { return low + (high - low) * k / 81.0; };
    for (int m = 0; m < 80; ++m) {
        bool any = false;
        for (int k = 0; k < 256; ++k) {
            const float v = w[size_t(k * 80 + m)];
            if (v <= 0) continue;
            any = true;
            EXPECT_GT(mel(k * 31.25), edge(m) - 1e-3) << "band " << m << " bin " << k;
            EXPECT_LT(mel(k * 31.25), edge(m + 2) + 1e-3) << "band " << m << " bin " << k;
        }
        EXPECT_TRUE(any) << "band " << m << " is empty";
    }
    // Band 0 starts at 20 Hz: bin 0 (0 Hz) is outside it, bin 1 (31.25 Hz) inside.
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_NEAR(w[size_t(1 * 80 + 0)], (mel(31.25) - mel(20.0)) / (edge(1) - edge(0)), 1e-5);
    // Band 79 ends at 8000 Hz: bin 255 (7968.75 Hz) still carries a small weight.
    EXPECT_NEAR(w[size_t(255 * 80 + 79)], (mel(8000.0) - mel(7968.75)) / (edge(81) - edge(80)),
                1e-4);
    for (int k = 1; k < 256; ++k) {
        // Between the first and the last band centre the triangles overlap in pairs.
        if (mel(k * 31.25) <= edge(1) || mel(k * 31.25) >= edge(80)) continue;
        double sum = 0;
        for (int m = 0; m < 80; ++m)
            sum += w[size_t(k * 80 + m)];
        EXPECT_NEAR(sum, 1.0, 1e-4) << "bin " << k;
    }
}

TEST(SeamlessM4TFrontEnd, ConcurrentCallsAgree) {
    const auto audio = speechLike(32000, 9);
    std::vector<fe::Features> results(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = fe::inputFeatures(audio); });
    }
    for (auto& t : threads)
        t.join();
    for (size_t i = 1; i < results.size(); ++i)
        EXPECT_EQ(results[i].features, results[0].features);
}
