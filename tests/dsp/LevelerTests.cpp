// Dialogue leveler: targets, bounds, floor weighting and its time constants.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "audiocore/dsp/DialogueLeveler.hpp"
#include "audiocore/dsp/Smoothing.hpp"
#include "audiocore/model/SettingsFields.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;

/// A 1 kHz tone whose RMS is `rmsDB` dBFS (steady "speech" for an energy detector).
double tone(double rmsDB, long n) {
    return std::pow(10, rmsDB / 20) * std::sqrt(2.0) *
           std::sin(2 * std::numbers::pi * 1000 * double(n) / kRate);
}

struct Rig {
    DialogueLeveler leveler{kRate, 2};
    ProcessingSettings settings;
    std::array<bool, 2> selected{false, false};
    std::array<double, 2> last{};
    long n = 0;

    Rig() { settings.levelerEnabled = true; }
    /// Channel 0 at `rmsDB` (silence below −200), channel 1 at −10 dBFS, for `seconds`.
    void run(double rmsDB, double seconds) {
        for (long end = n + long(seconds * kRate); n < end; ++n) {
            last = {rmsDB < -200 ? 0.0 : tone(rmsDB, n), tone(-10, n)};
            leveler.tick(last, selected, settings);
        }
    }
    double gain() const { return leveler.gainDB()[0]; }
};

}  // namespace

TEST(DialogueLeveler, ConvergesToTheBoundedGainWithTheRightTimeConstant) {
    struct Case {
        double level, speed, settled, tau;
    };
    const Case cases[] = {
        {-44, 800, 4.5, 0.8},    // need +20, bounded to +9, floor weight 0.5; ride time
        {-44, 100, 4.5, 0.2},    // ride time below range: 200 ms
        {-10, 800, -12, 0.15},   // need −14, bounded to −12; cuts use min(ride, 150 ms)
        {-10, 5000, -12, 0.15},  // 3000 ms ride, still 150 ms for cuts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level + c.speed);
        Rig rig;
        rig.settings.levelerSpeed = c.speed;
        rig.run(c.level, 0.5);  // measured while unselected: energy settles, gain stays 0
        ASSERT_EQ(rig.gain(), 0);
        rig.selected[0] = true;
        rig.run(c.level, c.tau);
        EXPECT_NEAR(rig.gain(), c.settled * (1 - std::exp(-1.0)), 0.05);
        rig.run(c.level, 20 * c.tau);
        EXPECT_NEAR(rig.gain(), c.settled, 0.01);
        EXPECT_NEAR(rig.last[0], tone(c.level, rig.n - 1) * std::pow(10, rig.gain() / 20), 1e-12);
    }
}

TEST(DialogueLeveler, SilenceRelaxesWithThePauseTime) {
    Rig rig;
    rig.selected[0] = true;
    rig.run(-44, 6);
    // Digital silence: once the level is at the floor, the gain relaxes with 30 ms.
    while (10 * std::log10(std::max(rig.leveler.energy()[0], 1e-300)) > -48) {
        rig.run(-300, 1 / kRate);
    }
    const double atFloor = rig.gain();
    ASSERT_GT(atFloor, 1);
    rig.run(-300, 0.03);
    EXPECT_NEAR(rig.gain() / atFloor, std::exp(-1.0), 0.02);
    rig.run(-300, 0.3);
    EXPECT_LT(std::abs(rig.gain()), 1e-3);
}

TEST(DialogueLeveler, UnselectedChannelIsMeasuredButUntouched) {
    Rig rig;
    rig.selected[0] = true;
    rig.run(-44, 1);
    EXPECT_EQ(rig.last[1], tone(-10, rig.n - 1));
    EXPECT_NEAR(10 * std::log10(rig.leveler.energy()[1]), -10, 0.1);
    EXPECT_EQ(rig.leveler.gainDB()[1], 0);
    EXPECT_GT(rig.gain(), 1);
}

TEST(DialogueLeveler, FramesTakenTogetherMatchFrameByFrame) {
    // Three channels (the last unselected) through loud speech, pauses under the floor, a bad
    // sample and a switch-off while the gains relax: every sample and gain as frame by frame.
    ProcessingSettings on;
    on.levelerEnabled = true;
    ProcessingSettings off = on;
    off.levelerEnabled = false;
    const std::array<bool, 3> selected{true, true, false};
    DialogueLeveler single(kRate, 3);
    DialogueLeveler together(kRate, 3);
    std::vector<double> frames(3 * 1000);
    for (long block = 0; block < 60; ++block) {
        const ProcessingSettings& settings = block < 40 ? on : off;
        single.configure(settings);
        together.configure(settings);
        const long count = 1 + (block * 389) % 1000;
        for (long k = 0; k < count; ++k) {
            const long n = block * 1000 + k;
            for (int c = 0; c < 3; ++c) {
                const double level = (n / 9000 + c) % 3 == 0 ? -70.0 : -30.0 + 8 * c;
                frames[size_t(k * 3 + c)] = tone(level, n + 17 * c);
            }
        }
        if (block == 5) frames[4] = std::numeric_limits<double>::quiet_NaN();
        std::vector<double> expected(frames.begin(), frames.begin() + count * 3);
        for (long k = 0; k < count; ++k)
            single.tick({expected.data() + k * 3, 3}, selected);
        together.tickFrames(frames.data(), 3, count, selected);
        for (long i = 0; i < count * 3; ++i)
            ASSERT_EQ(frames[size_t(i)], expected[size_t(i)]) << "block " << block << " at " << i;
        ASSERT_EQ(together.gainDB(), single.gainDB()) << "block " << block;
        ASSERT_EQ(together.energy(), single.energy()) << "block " << block;
    }
}

TEST(DialogueLeveler, BatchedLogarithmsStayFarBelowTheSignal) {
    // The leveler's law written out with the C library's scalar log and exp: over a minute of
    // speech, pauses and a long ride, the batched transcendentals move no sample by as much as
    // -140 dBFS.
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    DialogueLeveler leveler(kRate, 1);
    leveler.configure(settings);
    const double target = Setting::levelerTarget.guarded(settings);
    const double boost = Setting::levelerMaxBoost.guarded(settings);
    const double cut = Setting::levelerMaxCut.guarded(settings);
    const double gate = Setting::levelerGate.guarded(settings);
    const double ride = Setting::levelerSpeed.guarded(settings) / 1000;
    const double ae = OnePole::coefficient(kRate, 0.04);
    const double aRide = OnePole::coefficient(kRate, ride);
    const double aFast = OnePole::coefficient(kRate, std::min(ride, 0.15));
    const double aPause = OnePole::coefficient(kRate, 0.03);
    double energy = 0, gain = 0, worst = 0;
    const std::array<bool, 1> selected{true};
    std::vector<double> frames(1000);
    for (long block = 0; block < 2880; ++block) {
        for (long k = 0; k < 1000; ++k) {
            const long n = block * 1000 + k;
            const double level = std::array{-38.0, -70.0, -14.0, -26.0}[size_t(n / 180000) % 4];
            frames[size_t(k)] = tone(level + 6 * std::sin(double(n) * 1e-4), n);
        }
        std::vector<double> expected = frames;
        for (double& x : expected) {
            energy = ae * energy + (1 - ae) * x * x;
            const double db = energy < 1e-15 ? -150.0 : 10 * std::log10(energy);
            double desired = 0, a;
            if (db <= gate) {
                a = aPause;
            } else {
                const double g0 = std::clamp(target - db, -cut, boost);
                desired = g0 > 0 ? std::clamp((db - gate) * 0.125, 0.0, 1.0) * g0 : g0;
                a = desired < gain ? aFast : aRide;
            }
            gain = a * gain + (1 - a) * desired;
            x *= std::pow(10.0, gain / 20);
        }
        leveler.tickFrames(frames.data(), 1, 1000, selected);
        for (size_t i = 0; i < frames.size(); ++i)
            worst = std::max(worst, std::abs(frames[i] - expected[i]));
    }
    EXPECT_LT(worst, std::pow(10.0, -140.0 / 20)) << 20 * std::log10(worst);
    EXPECT_GT(std::abs(gain), 1.0);  // the ride did move
}

TEST(DialogueLeveler, ChannelPairsWithMixedSelectionMatchFrameByFrame) {
    // Five channels, taken two at a time: a pair with only its first channel selected, one with
    // only its second, and one left over; loud passages, pauses, a quiet floor and bad samples.
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    settings.levelerGate = -60;
    const std::array<bool, 5> selected{true, false, false, true, true};
    DialogueLeveler single(kRate, 5), together(kRate, 5);
    single.configure(settings);
    together.configure(settings);
    std::vector<double> frames(5 * 800);
    for (long block = 0; block < 120; ++block) {
        const long count = 1 + (block * 277) % 800;
        for (long k = 0; k < count; ++k) {
            const long n = block * 800 + k;
            for (int c = 0; c < 5; ++c) {
                const double level =
                    std::array{-18.0, -75.0, -40.0, -55.0}[size_t(n / 7000 + c) % 4];
                frames[size_t(k * 5 + c)] = tone(level + c, n + 31 * c);
            }
        }
        if (block % 17 == 3) frames[7] = std::numeric_limits<double>::infinity();
        if (block % 23 == 5) frames[3] = -std::numeric_limits<double>::quiet_NaN();
        std::vector<double> expected(frames.begin(), frames.begin() + count * 5);
        for (long k = 0; k < count; ++k)
            single.tick({expected.data() + k * 5, 5}, selected);
        together.tickFrames(frames.data(), 5, count, selected);
        for (long i = 0; i < count * 5; ++i) {
            if (std::isnan(expected[size_t(i)])) {
                ASSERT_TRUE(std::isnan(frames[size_t(i)])) << "block " << block << " at " << i;
            } else {
                ASSERT_EQ(frames[size_t(i)], expected[size_t(i)])
                    << "block " << block << " at " << i;
            }
        }
        ASSERT_EQ(together.gainDB(), single.gainDB()) << "block " << block;
        ASSERT_EQ(together.energy(), single.energy()) << "block " << block;
    }
}
