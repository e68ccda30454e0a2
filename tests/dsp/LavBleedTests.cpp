// Lav bleed suppression (correlated spill) and the interview automix.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "audiocore/dsp/LavBleedSuppressor.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;

/// Band-limited noise, a stand-in for speech that correlates only with itself.
class Talker {
  public:
    explicit Talker(unsigned seed) : rng_(seed) {}
    double next() {
        const double y = shape_.process(noise_(rng_));
        return 0.5 * y;
    }

  private:
    std::mt19937 rng_;
    std::normal_distribution<double> noise_{0, 1};
    Biquad shape_{EQKind::peak, kRate, 700, 12, 0.5};
};

struct Rig {
    LavBleedSuppressor bleed{kRate};
    ProcessingSettings settings;
    std::array<bool, 2> selected{true, true};
    std::array<double, 2> lastGains{1, 1};

    explicit Rig(LavBleedMode mode) {
        settings.bleedEnabled = true;
        settings.bleedMode = mode;
        bleed.configure(settings);
    }
    void tick(double a, double b) {
        const std::array<double, 2> frame{a, b};
        lastGains = bleed.tick(frame, selected, settings);
    }
    double reduction(int k) const { return bleed.reduction()[size_t(k)]; }
};

double dB(double gain) {
    return 20 * std::log10(gain);
}

}  // namespace

TEST(LavBleed, WindowGeometryFollowsTheRate) {
    const LavBleedSuppressor at48(48000), at44(44100), at8(8000), at1(1000);
    EXPECT_EQ(at48.decimation(), 12);
    EXPECT_EQ(at48.size(), 400);
    EXPECT_EQ(at48.lag(), 80);
    EXPECT_EQ(at44.decimation(), 11);
    EXPECT_EQ(at44.size(), 400);
    EXPECT_EQ(at44.lag(), 80);
    EXPECT_EQ(at8.decimation(), 2);
    EXPECT_EQ(at1.decimation(), 1);
    EXPECT_EQ(at1.size(), 100);
    EXPECT_EQ(at1.lag(), 20);
}

TEST(LavBleed, CorrelatedSpillTurnsTheQuieterMicDown) {
    // B hears A's talker 12 dB down and 2 ms late: similarity near 1, 18 dB on B.
    Rig rig(LavBleedMode::correlated);
    Talker talker(1);
    std::vector<double> delay(96, 0.0);
    const double spill = std::pow(10, -12.0 / 20);
    for (long n = 0; n < 48000; ++n) {
        const double a = talker.next();
        const double b = delay[size_t(n % 96)] * spill;
        delay[size_t(n % 96)] = a;
        rig.tick(a, b);
    }
    EXPECT_GE(rig.bleed.similarity(), 0.85);
    EXPECT_FALSE(rig.bleed.overlappingSpeech());
    EXPECT_EQ(rig.bleed.target()[0], 0);
    EXPECT_NEAR(rig.bleed.target()[1], -18, 0.2);
    EXPECT_NEAR(rig.reduction(1), 18, 0.3);
    EXPECT_EQ(rig.reduction(0), 0);
    EXPECT_NEAR(dB(rig.lastGains[1]), -rig.reduction(1), 1e-9);
    EXPECT_EQ(rig.lastGains[0], 1);
}

TEST(LavBleed, ComparableLevelsStayOpenInBothModes) {
    for (LavBleedMode mode : {LavBleedMode::correlated, LavBleedMode::interview}) {
        Rig rig(mode);
        Talker talker(2);
        const double spill = std::pow(10, -4.0 / 20);
        for (long n = 0; n < 48000; ++n) {
            const double a = talker.next();
            rig.tick(a, a * spill);
            ASSERT_EQ(rig.lastGains[0], 1);
            ASSERT_EQ(rig.lastGains[1], 1);
        }
    }
}

TEST(LavBleed, DissimilarTalkersReleaseWithTheOverlapTime) {
    Rig rig(LavBleedMode::correlated);
    rig.settings.bleedRelease = 1000;  // the overlap release must not use this
    Talker talker(3), other(4);
    const double spill = std::pow(10, -12.0 / 20);
    for (long n = 0; n < 24000; ++n) {
        const double a = talker.next();
        rig.tick(a, a * spill);
    }
    ASSERT_GT(rig.reduction(1), 17);
    // Now both mics carry different talkers, still 12 dB apart.
    long n = 0;
    for (; n < 48000 && !rig.bleed.overlappingSpeech(); ++n) {
        rig.tick(talker.next(), other.next() * spill);
    }
    ASSERT_TRUE(rig.bleed.overlappingSpeech());
    EXPECT_LT(rig.bleed.similarity(), 0.65);
    EXPECT_EQ(rig.bleed.target()[1], 0);
    const double start = rig.reduction(1);
    ASSERT_GT(start, 5);
    for (int i = 0; i < 2400; ++i)
        rig.tick(talker.next(), other.next() * spill);  // 50 ms
    EXPECT_NEAR(rig.reduction(1) / start, std::exp(-1.0), 0.03);
}

TEST(LavBleed, InterviewAutomixAttenuatesHoldsAndReopens) {
    Rig rig(LavBleedMode::interview);
    Talker talker(5);
    const double quiet = std::pow(10, -12.0 / 20);
    for (long n = 0; n < 96000; ++n) {
        const double a = talker.next();
        rig.tick(a, a * quiet);
    }
    // Excess 6 dB over the 6 dB difference: 2 · 36 / 9 = 8 dB on B.
    EXPECT_NEAR(rig.bleed.target()[1], -8, 0.01);
    EXPECT_NEAR(rig.reduction(1), 8, 0.01);
    EXPECT_EQ(rig.reduction(0), 0);

    // The talkers swap: A is kept open through the 120 ms speech hold, counted from the last
    // decision that found it dominant (at most 5 ms before the swap).
    long n = 0;
    bool reopened = false;
    double reopenStart = 0;
    long reopenAt = -1;
    for (; n < int(0.115 * kRate); ++n) {
        const double b = talker.next();
        rig.tick(b * quiet, b);
        ASSERT_EQ(rig.bleed.target()[0], 0) << "frame " << n;
        if (!reopened && rig.bleed.target()[1] == 0) {
            reopened = true;
            reopenStart = rig.bleed.gains()[1];
            reopenAt = n;
        }
        if (reopened && n == reopenAt + 192) {  // 4 ms after B's target opened
            EXPECT_NEAR(rig.bleed.gains()[1] / reopenStart, std::exp(-1.0), 0.02);
        }
    }
    ASSERT_TRUE(reopened);
    for (; n < int(0.3 * kRate); ++n) {
        const double b = talker.next();
        rig.tick(b * quiet, b);
    }
    EXPECT_NEAR(rig.bleed.target()[0], -8, 0.01);
    EXPECT_EQ(rig.bleed.target()[1], 0);
}

TEST(LavBleed, InterviewAttenuationIsBoundedByTheDepth) {
    InterviewAutomix automix(kRate);
    ProcessingSettings settings;
    automix.configure(settings);
    Talker talker(6);
    const double quiet = std::pow(10, -24.0 / 20);  // 18 dB excess: 30.9 dB, limited to 18
    std::array<double, 2> targets{};
    for (long n = 0; n < 24000; ++n) {
        const double a = talker.next();
        targets = automix.tick(a, a * quiet);
    }
    EXPECT_EQ(targets[0], 0);
    EXPECT_DOUBLE_EQ(targets[1], -18);
    settings.bleedDepth = 40;
    automix.configure(settings);
    for (long n = 0; n < 480; ++n)
        targets = automix.tick(talker.next(), 0);
    EXPECT_DOUBLE_EQ(automix.depth(), 36);
    EXPECT_EQ(automix.holdFrames(), 5760);
}

TEST(LavBleed, UnusablePairReadsUnityAtOnce) {
    Rig rig(LavBleedMode::interview);
    Talker talker(7);
    for (long n = 0; n < 24000; ++n) {
        const double a = talker.next();
        rig.tick(a, a * 0.1);
    }
    ASSERT_GT(rig.reduction(1), 5);
    // A lav channel that is not processed drops the gains at once.
    rig.selected[1] = false;
    rig.tick(0.1, 0.01);
    EXPECT_EQ(rig.lastGains, (std::array<double, 2>{1, 1}));
    EXPECT_EQ(rig.bleed.reduction(), (std::array<double, 2>{0, 0}));

    // The same channel twice, or a channel beyond the frame, never attenuates.
    rig.selected[1] = true;
    for (auto [chA, chB] : {std::pair{0, 0}, std::pair{0, 2}, std::pair{-1, 1}}) {
        rig.settings.bleedChannelA = chA;
        rig.settings.bleedChannelB = chB;
        rig.bleed.configure(rig.settings);
        for (long n = 0; n < 4800; ++n) {
            const double a = talker.next();
            rig.tick(a, a * 0.1);
            ASSERT_EQ(rig.lastGains, (std::array<double, 2>{1, 1}));
        }
        EXPECT_EQ(rig.bleed.reduction(), (std::array<double, 2>{0, 0}));
    }
}

TEST(LavBleed, DisablingReleasesWithinTensOfMilliseconds) {
    Rig rig(LavBleedMode::interview);
    Talker talker(8);
    for (long n = 0; n < 24000; ++n) {
        const double a = talker.next();
        rig.tick(a, a * 0.25);
    }
    const double start = rig.reduction(1);
    ASSERT_GT(start, 5);
    rig.settings.bleedEnabled = false;
    for (int i = 0; i < 480; ++i)
        rig.tick(0.1, 0.1);  // 10 ms
    EXPECT_NEAR(rig.reduction(1) / start, std::exp(-1.0), 0.01);
    for (int i = 0; i < 48000; ++i)
        rig.tick(0.1, 0.1);
    EXPECT_EQ(rig.bleed.gains(), (std::array<double, 2>{0, 0}));
    EXPECT_EQ(rig.lastGains, (std::array<double, 2>{1, 1}));
}
