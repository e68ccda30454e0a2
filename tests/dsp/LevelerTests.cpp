// Dialogue leveler: targets, bounds, floor weighting and its time constants.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>

#include "audiocore/dsp/DialogueLeveler.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;

/// A 1 kHz tone whose RMS is `rmsDB` dBFS (speech-like for an energy detector).
double tone(double rmsDB, long n) {
    return std::pow(10, rmsDB / 20) * std::sqrt(2.0) *
           std::sin(2 * std::numbers::pi * 1000 * double(n) / kRate);
}

struct Rig {
    DialogueLeveler leveler{kRate, 1};
    ProcessingSettings settings;
    std::array<bool, 1> selected{false};
    long n = 0;
    double last = 0;

    Rig() { settings.levelerEnabled = true; }
    void run(double rmsDB, double seconds) {
        for (long end = n + long(seconds * kRate); n < end; ++n) {
            std::array<double, 1> v{rmsDB < -200 ? 0.0 : tone(rmsDB, n)};
            leveler.tick(v, selected, settings);
            last = v[0];
        }
    }
    double gain() const { return leveler.gainDB()[0]; }
};

}  // namespace

TEST(DialogueLeveler, QuietSpeechRidesUpToTheWeightedBoostWithTheRideTime) {
    // −44 dBFS, target −24, boost 9, floor −48: need +20, bounded to +9, weighted by 0.5.
    Rig rig;
    rig.run(-44, 0.5);  // measured while unselected: the energy settles, the gain stays 0
    EXPECT_EQ(rig.gain(), 0);
    rig.selected[0] = true;
    rig.run(-44, 0.8);
    EXPECT_NEAR(rig.gain(), 4.5 * (1 - std::exp(-1.0)), 0.05);  // one ride time (800 ms)
    rig.run(-44, 6);
    EXPECT_NEAR(rig.gain(), 4.5, 0.02);

    // A ride time below the range is used as 200 ms.
    Rig fast;
    fast.settings.levelerSpeed = 100;
    fast.run(-44, 0.5);
    fast.selected[0] = true;
    fast.run(-44, 0.2);
    EXPECT_NEAR(fast.gain(), 4.5 * (1 - std::exp(-1.0)), 0.05);
}

TEST(DialogueLeveler, LoudSpeechIsCutWithTheFastTime) {
    // −10 dBFS, target −24, cut 12: need −14, bounded to −12, reached with min(ride, 150 ms).
    for (double speed : {800.0, 5000.0, std::nan("")}) {
        Rig rig;
        rig.settings.levelerSpeed = speed;
        rig.run(-10, 0.5);
        rig.selected[0] = true;
        rig.run(-10, 0.15);
        EXPECT_NEAR(rig.gain(), -12 * (1 - std::exp(-1.0)), 0.05) << speed;
        rig.run(-10, 2);
        EXPECT_NEAR(rig.gain(), -12, 0.01);
        // The cut is applied to the sample.
        EXPECT_NEAR(rig.last, tone(-10, rig.n - 1) * std::pow(10, rig.gain() / 20), 1e-12);
    }
}

TEST(DialogueLeveler, SilenceRelaxesToUnityWithThePauseTime) {
    Rig rig;
    rig.selected[0] = true;
    rig.run(-44, 6);
    ASSERT_GT(rig.gain(), 4);
    // Feed digital silence until the level crosses the floor, then one pause time (30 ms).
    long guard = 0;
    while (10 * std::log10(std::max(rig.leveler.energy()[0], 1e-300)) > -48 && guard++ < 48000) {
        rig.run(-300, 1 / kRate);
    }
    const double atFloor = rig.gain();
    ASSERT_GT(atFloor, 1);
    rig.run(-300, 0.03);
    EXPECT_NEAR(rig.gain() / atFloor, std::exp(-1.0), 0.02);
    rig.run(-300, 0.3);
    EXPECT_LT(std::abs(rig.gain()), 0.001);
}

TEST(DialogueLeveler, UnselectedChannelIsMeasuredButUntouched) {
    DialogueLeveler leveler(kRate, 2);
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    const std::array<bool, 2> selected{true, false};
    for (long n = 0; n < 48000; ++n) {
        std::array<double, 2> v{tone(-44, n), tone(-10, n)};
        const double original = v[1];
        leveler.tick(v, selected, settings);
        ASSERT_EQ(v[1], original);
    }
    EXPECT_NEAR(10 * std::log10(leveler.energy()[1]), -10, 0.1);
    EXPECT_EQ(leveler.gainDB()[1], 0);
    EXPECT_GT(leveler.gainDB()[0], 1);
}

TEST(DialogueLeveler, SwitchingOffReleasesThenGoesIdle) {
    Rig rig;
    rig.selected[0] = true;
    rig.run(-10, 2);
    ASSERT_NEAR(rig.gain(), -12, 0.01);
    rig.settings.levelerEnabled = false;
    rig.run(-10, 0.15);  // a cut releases toward 0 dB with the ride time
    EXPECT_NEAR(rig.gain(), -12 * std::exp(-0.15 / 0.8), 0.05);
    rig.run(-10, 30);
    EXPECT_LT(std::abs(rig.gain()), 1e-12);
    // Idle: the energy is frozen and samples pass untouched.
    const double frozen = rig.leveler.energy()[0];
    rig.run(-30, 0.5);
    EXPECT_EQ(rig.leveler.energy()[0], frozen);
    EXPECT_EQ(rig.last, tone(-30, rig.n - 1));
}
