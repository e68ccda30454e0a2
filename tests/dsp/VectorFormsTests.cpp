// Every vectorised routine in every form this processor can run (SSE2, AVX2, AVX-512): the
// forms give the same bits lane for lane, except the vector exponentials and logarithms, which
// may differ by a few units in the last place. A machine runs only its widest form otherwise,
// so a slip in a narrower one would pass unseen.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audiocore/dsp/BlockTruePeak.hpp"
#include "audiocore/dsp/LavBleedSuppressor.hpp"
#include "audiocore/dsp/StreamingDSP.hpp"
#include "audiocore/dsp/TruePeakMeter.hpp"
#include "audiocore/dsp/VectorMath.hpp"
#include "audiocore/dsp/Vectors.hpp"

using namespace corvaline;
using dsp_detail::Vectors;

namespace {

constexpr double kRate = 48000;

/// The forms this processor runs, narrowest first.
std::vector<Vectors> forms() {
    std::vector<Vectors> all;
    const Vectors widest = dsp_detail::vectors();
    for (Vectors v : {Vectors::sse2, Vectors::avx2, Vectors::avx512}) {
        if (v <= widest) all.push_back(v);
    }
    return all;
}

/// Puts the widest form back whatever a test did.
struct FormGuard {
    Vectors widest = dsp_detail::vectors();
    ~FormGuard() { dsp_detail::limitVectors(widest); }
};

/// Two talkers taking turns, each spilling into the other's lav 15 dB down and 1 ms late, with
/// a hot passage that drives the compressor and the limiter.
AudioBuffer interviewPair(long frames) {
    AudioBuffer source(2, uint32_t(frames));
    source.setFrameLength(uint32_t(frames));
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0, 0.002);
    std::vector<std::vector<double>> voice(2, std::vector<double>(size_t(frames), 0.0));
    for (int p = 0; p < 2; ++p) {
        double phase = 0;
        for (long i = 0; i < frames; ++i) {
            const double t = double(i) / kRate;
            phase += 2 * std::numbers::pi * (130 + 60 * p) / kRate;
            if (int(t / 0.7) % 2 != p) continue;
            double v = 0;
            for (int h = 1; h <= 5; ++h)
                v += std::sin(h * phase) / h;
            voice[size_t(p)][size_t(i)] = (t > 2.0 && t < 2.5 ? 1.6 : 0.3) * v;
        }
    }
    const double spill = std::pow(10.0, -15.0 / 20);
    for (int c = 0; c < 2; ++c) {
        for (long i = 0; i < frames; ++i) {
            const double other = i >= 48 ? voice[size_t(1 - c)][size_t(i - 48)] : 0.0;
            source.channel(c)[i] = float(voice[size_t(c)][size_t(i)] + spill * other + noise(rng));
        }
    }
    return source;
}

std::vector<float> runChain(const AudioBuffer& source, const ProcessingSettings& settings) {
    StreamingDSP dsp(kRate, std::vector<ChannelSettings>(2), settings);
    std::vector<float> out;
    AudioBuffer block(2, 1000);
    for (uint32_t at = 0; at < source.frameLength(); at += 1000) {
        const uint32_t n = std::min<uint32_t>(1000, source.frameLength() - at);
        block.setFrameLength(n);
        for (int c = 0; c < 2; ++c)
            std::copy_n(source.channel(c) + at, n, block.channel(c));
        dsp.process(block);
        for (uint32_t i = 0; i < n; ++i)
            for (int c = 0; c < 2; ++c)
                out.push_back(block.channel(c)[i]);
    }
    return out;
}

ProcessingSettings everyModule() {
    ProcessingSettings s;
    s.levelerEnabled = true;
    s.bleedEnabled = true;
    s.bleedMode = LavBleedMode::correlated;
    const double gains[8] = {0, 2, -3, 1.5, 2, 3, 1.5, 0};
    for (size_t b = 0; b < s.eqBands.size() && b < 8; ++b) {
        s.eqBands[b].enabled = true;
        s.eqBands[b].gain = gains[b];
    }
    s.outputGain = 6;
    return s;
}

}  // namespace

TEST(VectorForms, LogarithmsAndExponentialsAgreeAcrossFormsAndWithTheCLibrary) {
    FormGuard guard;
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> exponent(-40, 8);
    std::uniform_real_distribution<double> decades(-30, 3);
    std::vector<double> x(203), power(203), dB(203);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = exponent(rng);
        power[i] = std::pow(10.0, decades(rng));
        dB[i] = i % 7 == 0 ? 0.0 : 6 * exponent(rng);
    }
    std::vector<double> firstExp;
    for (Vectors form : forms()) {
        ASSERT_EQ(dsp_detail::limitVectors(form), form);
        // Every run length and offset, against single values and the C library.
        for (size_t length : {size_t(1), size_t(3), size_t(8), size_t(13), size_t(203)}) {
            std::vector<double> e(length), l(length), g(length);
            vector_math::exp(x.data(), e.data(), length);
            vector_math::log(power.data(), l.data(), length);
            vector_math::decibelGains(dB.data(), g.data(), length);
            for (size_t i = 0; i < length; ++i) {
                ASSERT_EQ(e[i], vector_math::exp(x[i])) << int(form) << " " << length;
                ASSERT_EQ(l[i], vector_math::log(power[i])) << int(form) << " " << length;
                ASSERT_NEAR(e[i] / std::exp(x[i]), 1.0, 1e-15) << int(form);
                ASSERT_NEAR(l[i], std::log(power[i]), 1e-15 * std::max(1.0, std::abs(l[i])));
                if (dB[i] == 0) {
                    ASSERT_EQ(g[i], 1.0) << int(form);
                } else {
                    ASSERT_NEAR(g[i] / std::pow(10.0, dB[i] / 20), 1.0, 1e-14) << int(form);
                }
            }
        }
        std::vector<double> e(x.size());
        vector_math::exp(x.data(), e.data(), x.size());
        if (firstExp.empty()) firstExp = e;
        for (size_t i = 0; i < e.size(); ++i)
            ASSERT_NEAR(e[i] / firstExp[i], 1.0, 2e-15) << int(form);
    }
}

TEST(VectorForms, EqualiserTruePeakLimiterAndBleedDetectorGiveTheSameBitsInEveryForm) {
    FormGuard guard;
    const AudioBuffer source = interviewPair(long(3.2 * kRate));
    // No exponential or logarithm in this chain: the EQ wavefront, the 4x detector and the
    // limiter must agree to the bit.
    ProcessingSettings plain = everyModule();
    plain.levelerEnabled = false;
    plain.bleedEnabled = false;
    plain.compressorEnabled = false;
    std::vector<float> reference;
    // The bleed detector's gains in dB come before any exponential: they agree to the bit too.
    std::vector<double> referenceBleed;
    for (Vectors form : forms()) {
        dsp_detail::limitVectors(form);
        const std::vector<float> out = runChain(source, plain);
        LavBleedSuppressor bleed(kRate);
        ProcessingSettings settings = everyModule();
        bleed.configure(settings);
        const std::array<bool, 2> selected{true, true};
        std::vector<double> dB;
        for (uint32_t i = 0; i < source.frameLength(); ++i) {
            const std::array<double, 2> frame{source.channel(0)[i], source.channel(1)[i]};
            const std::array<double, 2> g = bleed.tickDB(frame, selected, settings);
            dB.insert(dB.end(), g.begin(), g.end());
        }
        if (reference.empty()) {
            reference = out;
            referenceBleed = dB;
            ASSERT_LT(*std::min_element(dB.begin(), dB.end()), -3.0) << "the spill is turned down";
            continue;
        }
        ASSERT_EQ(out.size(), reference.size());
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], reference[i]) << "form " << int(form) << " sample " << i;
        for (size_t i = 0; i < dB.size(); ++i)
            ASSERT_EQ(dB[i], referenceBleed[i]) << "form " << int(form) << " frame " << i / 2;
    }
}

TEST(VectorForms, TheWholeChainAgreesAcrossFormsFarBelowTheSignal) {
    FormGuard guard;
    const AudioBuffer source = interviewPair(long(3.2 * kRate));
    std::vector<float> reference;
    for (Vectors form : forms()) {
        dsp_detail::limitVectors(form);
        const std::vector<float> out = runChain(source, everyModule());
        if (reference.empty()) {
            reference = out;
            continue;
        }
        double largest = 0;
        for (size_t i = 0; i < out.size(); ++i)
            largest = std::max(largest, std::abs(double(out[i]) - double(reference[i])));
        EXPECT_LT(largest, 1e-7) << "form " << int(form);  // −140 dBFS
    }
}

TEST(VectorForms, MetersReadTheSameInEveryForm) {
    FormGuard guard;
    const AudioBuffer source = interviewPair(long(2.6 * kRate));
    std::vector<double> strict;
    std::vector<double> fourTimes;
    for (Vectors form : forms()) {
        dsp_detail::limitVectors(form);
        TruePeakMeter meter(2);
        meter.add(source);
        strict.push_back(meter.peakDB());
        BlockTruePeak block(2);
        for (int c = 0; c < 2; ++c)
            block.add(c, source.channel(c), source.frameLength());
        fourTimes.push_back(std::max(block.peak(0), block.peak(1)));
    }
    for (size_t f = 1; f < strict.size(); ++f) {
        // Float sums taken in a different order: the same reading to a hundredth of a dB.
        EXPECT_NEAR(strict[f], strict[0], 0.01);
        EXPECT_EQ(fourTimes[f], fourTimes[0]);
    }
}
