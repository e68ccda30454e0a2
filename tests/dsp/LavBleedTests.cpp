// Lav bleed suppression (correlated spill) and the interview automix.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "audiocore/dsp/LavBleedSuppressor.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;

/// Shaped noise: a stand-in for one talker that correlates only with itself.
struct Talker {
    explicit Talker(unsigned seed) : rng(seed) {}
    double next() { return 0.5 * shape.process(noise(rng)); }
    std::mt19937 rng;
    std::normal_distribution<double> noise{0, 1};
    Biquad shape{EQKind::peak, kRate, 700, 12, 0.5};
};

struct Rig {
    LavBleedSuppressor bleed{kRate};
    ProcessingSettings settings;
    std::array<bool, 2> selected{true, true};
    std::array<double, 2> gains{1, 1};

    explicit Rig(LavBleedMode mode) {
        settings.bleedEnabled = true;
        settings.bleedMode = mode;
        bleed.configure(settings);
    }
    void tick(double a, double b) {
        const std::array<double, 2> frame{a, b};
        gains = bleed.tick(frame, selected, settings);
    }
    /// `frames` of talker → A and `spillDB` of it → B (or of `other` when given).
    void talk(Talker& t, long frames, double spillDB, Talker* other = nullptr) {
        const double spill = std::pow(10, spillDB / 20);
        for (long n = 0; n < frames; ++n) {
            const double a = t.next();
            tick(a, (other ? other->next() : a) * spill);
        }
    }
    double reduction(int k) const { return bleed.reduction()[size_t(k)]; }
};

}  // namespace

TEST(LavBleed, CorrelatedSpillTurnsTheQuieterMicDown) {
    Rig rig(LavBleedMode::correlated);
    EXPECT_EQ(rig.bleed.decimation(), 12);
    EXPECT_EQ(rig.bleed.size(), 400);
    EXPECT_EQ(rig.bleed.lag(), 80);
    EXPECT_EQ(LavBleedSuppressor(44100).decimation(), 11);
    // B hears A's talker 12 dB down and 2 ms late: 3 × (12 − 6) = 18 dB on B.
    Talker talker(1);
    std::vector<double> delay(96, 0.0);
    for (long n = 0; n < 48000; ++n) {
        const double a = talker.next();
        const double late = std::exchange(delay[size_t(n % 96)], a);
        rig.tick(a, late * std::pow(10, -12.0 / 20));
    }
    EXPECT_GE(rig.bleed.similarity(), 0.85);
    EXPECT_NEAR(rig.bleed.target()[1], -18, 0.2);
    EXPECT_NEAR(rig.reduction(1), 18, 0.3);
    EXPECT_NEAR(20 * std::log10(rig.gains[1]), -rig.reduction(1), 1e-9);
    EXPECT_EQ(rig.gains[0], 1);
}

TEST(LavBleed, ComparableLevelsStayOpenInBothModes) {
    for (LavBleedMode mode : {LavBleedMode::correlated, LavBleedMode::interview}) {
        Rig rig(mode);
        Talker talker(2);
        for (int i = 0; i < 100; ++i) {
            rig.talk(talker, 480, -4);
            ASSERT_EQ(rig.gains, (std::array<double, 2>{1, 1}));
        }
    }
}

TEST(LavBleed, DissimilarTalkersReleaseWithTheOverlapTime) {
    Rig rig(LavBleedMode::correlated);
    rig.settings.bleedRelease = 1000;  // the overlap release must not use this
    Talker talker(3), other(4);
    rig.talk(talker, 24000, -12);
    ASSERT_GT(rig.reduction(1), 17);
    for (long n = 0; n < 48000 && !rig.bleed.overlappingSpeech(); ++n) {
        rig.talk(talker, 1, -12, &other);
    }
    ASSERT_TRUE(rig.bleed.overlappingSpeech());
    EXPECT_LT(rig.bleed.similarity(), 0.65);
    EXPECT_EQ(rig.bleed.target()[1], 0);
    const double start = rig.reduction(1);
    rig.talk(talker, 2400, -12, &other);  // 50 ms
    EXPECT_NEAR(rig.reduction(1) / start, std::exp(-1.0), 0.03);
}

TEST(LavBleed, InterviewAutomixAttenuatesHoldsAndReopens) {
    Rig rig(LavBleedMode::interview);
    Talker talker(5);
    rig.talk(talker, 96000, -12);
    // Excess 6 dB over the 6 dB difference: 2 · 36 / 9 = 8 dB on B.
    EXPECT_NEAR(rig.bleed.target()[1], -8, 0.01);
    EXPECT_NEAR(rig.reduction(1), 8, 0.01);
    EXPECT_EQ(rig.reduction(0), 0);

    // The talkers swap. A stays open for the 120 ms hold counted from the last decision that
    // found it dominant (at most 5 ms before the swap); B reopens with 4 ms.
    const double quiet = std::pow(10, -12.0 / 20);
    long reopenedAt = -1;
    double reopenStart = 0;
    for (long n = 0; n < long(0.3 * kRate); ++n) {
        const double b = talker.next();
        rig.tick(b * quiet, b);
        if (n < long(0.115 * kRate)) {
            ASSERT_EQ(rig.bleed.target()[0], 0) << n;
        }
        if (reopenedAt < 0 && rig.bleed.target()[1] == 0) {
            reopenedAt = n;
            reopenStart = rig.bleed.gains()[1];
        }
        if (reopenedAt >= 0 && n == reopenedAt + 192) {
            EXPECT_NEAR(rig.bleed.gains()[1] / reopenStart, std::exp(-1.0), 0.02);
        }
    }
    EXPECT_GE(reopenedAt, 0);
    EXPECT_NEAR(rig.bleed.target()[0], -8, 0.01);
}

TEST(LavBleed, UnusablePairReadsUnityAtOnce) {
    Rig rig(LavBleedMode::interview);
    Talker talker(7);
    rig.talk(talker, 24000, -20);
    ASSERT_GT(rig.reduction(1), 5);
    rig.selected[1] = false;  // a lav channel that is not processed
    rig.tick(0.1, 0.01);
    EXPECT_EQ(rig.gains, (std::array<double, 2>{1, 1}));
    EXPECT_EQ(rig.bleed.reduction(), (std::array<double, 2>{0, 0}));
    rig.selected[1] = true;
    for (auto [a, b] : {std::pair{0, 0}, std::pair{0, 2}, std::pair{-1, 1}}) {
        rig.settings.bleedChannelA = a;
        rig.settings.bleedChannelB = b;
        rig.bleed.configure(rig.settings);
        rig.talk(talker, 4800, -20);
        EXPECT_EQ(rig.gains, (std::array<double, 2>{1, 1}));
        EXPECT_EQ(rig.bleed.reduction(), (std::array<double, 2>{0, 0}));
    }
}

TEST(LavBleed, FramesTakenTogetherMatchFrameByFrame) {
    // Correlated spill, a switch-off while the gains fall back, the interview mode, an unusable
    // pair and back: every frame's gains as frame by frame, for stages of uneven length.
    LavBleedSuppressor single(kRate), together(kRate);
    ProcessingSettings settings;
    settings.bleedEnabled = true;
    const std::array<bool, 3> selected{true, true, true};
    Talker talker(3), other(4);
    std::vector<double> a(700), b(700), dB(1400);
    double deepest = 0;
    for (int stage = 0; stage < 400; ++stage) {
        const int phase = stage / 80;
        settings.bleedEnabled = phase != 1;
        settings.bleedMode = phase == 2 ? LavBleedMode::interview : LavBleedMode::correlated;
        settings.bleedChannelB = phase == 3 ? 0 : 1;  // the same channel twice is unusable
        const long frames = 1 + (stage * 131) % 700;
        for (long k = 0; k < frames; ++k) {
            const bool aTalks = (stage / 30) % 2 == 0;
            const double t = talker.next(), o = other.next();
            a[size_t(k)] = aTalks ? t : 0.15 * t + 0.05 * o;
            b[size_t(k)] = aTalks ? 0.18 * t : o;
        }
        together.tickFrames(a.data(), b.data(), frames, 3, selected, settings, dB.data());
        for (long k = 0; k < frames; ++k) {
            const std::array<double, 3> frame{a[size_t(k)], b[size_t(k)], 0.0};
            const std::array<double, 2> expected = single.tickDB(frame, selected, settings);
            ASSERT_EQ(dB[size_t(2 * k)], expected[0]) << "stage " << stage << " frame " << k;
            ASSERT_EQ(dB[size_t(2 * k + 1)], expected[1]) << "stage " << stage << " frame " << k;
            deepest = std::max({deepest, -expected[0], -expected[1]});
        }
        ASSERT_EQ(together.reduction(), single.reduction());
        ASSERT_EQ(together.target(), single.target());
    }
    // The linear form is the dB form through the same exponentials.
    const std::array<double, 3> frame{0.3, 0.01, 0.0};
    settings.bleedChannelB = 1;
    LavBleedSuppressor copy = single;
    const std::array<double, 2> gains = single.tick(frame, selected, settings);
    const std::array<double, 2> dBs = copy.tickDB(frame, selected, settings);
    for (size_t k = 0; k < 2; ++k)
        EXPECT_DOUBLE_EQ(gains[k], std::pow(10.0, dBs[k] / 20)) << k;
    EXPECT_GT(deepest, 3.0);  // the suppressor did turn a mic down
}
