// Delivery measurement against the EBU test signals (Tech 3341 loudness and true peak, Tech
// 3342 loudness range), made at test time, and the verdicts built on it.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "../finishing/FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/delivery/DeliveryStandard.hpp"
#include "audiocore/delivery/QualityCheck.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::Planes;

// Consecutive segments of a 1 kHz sine, each `seconds` long at a peak level in dBFS, on every
// channel (levels per channel where given).
Planes segments(int channels, const std::vector<std::pair<double, double>>& parts,
                double rate = 48000) {
    Planes planes{size_t(channels)};
    size_t at = 0;
    for (const auto& [seconds, level] : parts) {
        const size_t frames = size_t(seconds * rate);
        for (size_t i = 0; i < frames; ++i, ++at) {
            const float x = float(test::linear(level) *
                                  std::sin(2 * std::numbers::pi * 1000 * double(at) / rate));
            for (auto& plane : planes)
                plane.push_back(x);
        }
    }
    return planes;
}

// Loudness alone: the strict peak meter refines every crest of a steady tone, which these long
// signals do not need.
QualityMeasurement loudnessOf(const fs::path& file) {
    return QualityCheck::measure(file, std::nullopt, {}, {}, false);
}

class QualityCheckTest : public ::testing::Test {
  protected:
    fs::path write(const std::string& name, const Planes& planes, double rate = 48000) {
        const fs::path url = dir / name;
        test::writeWave(url, planes, rate);
        return url;
    }
    test::TempDir dir;
};

TEST_F(QualityCheckTest, IntegratedLoudnessOfTheTech3341SineCases) {
    // Cases 1 and 2: stereo 1 kHz at -23 and -33 dBFS read -23 and -33 LUFS (±0.1).
    EXPECT_NEAR(*loudnessOf(write("1.wav", segments(2, {{20, -23}}))).loudness.integrated, -23,
                0.1);
    EXPECT_NEAR(*loudnessOf(write("2.wav", segments(2, {{20, -33}}))).loudness.integrated, -33,
                0.1);
    // Cases 3-5: quiet passages around a -23 dBFS body are gated away.
    EXPECT_NEAR(*loudnessOf(write("3.wav", segments(2, {{10, -36}, {60, -23}, {10, -36}})))
                     .loudness.integrated,
                -23, 0.1);
    EXPECT_NEAR(
        *loudnessOf(
             write("4.wav", segments(2, {{10, -72}, {10, -36}, {60, -23}, {10, -36}, {10, -72}})))
             .loudness.integrated,
        -23, 0.1);
}

TEST_F(QualityCheckTest, FiveChannelsAreWeightedEquallyAsTheChainMeasures) {
    // The Tech 3341 5.0 case (L/R -28, C -24, Ls/Rs -30 dBFS) reads -23.0 LUFS with surround
    // weighting; every channel weighs 1.0 here, as in the chain's normalisation, which gives
    // 10·log10(Σ 10^(L/10) / 2) = -23.40 LUFS.
    Planes planes = segments(5, {{5, 0}});
    const double levels[5] = {-28, -28, -24, -30, -30};
    for (int c = 0; c < 5; ++c) {
        for (float& x : planes[size_t(c)])
            x = float(x * test::linear(levels[c]));
    }
    const auto m = QualityCheck::measure(write("5ch.wav", planes));
    double sum = 0;
    for (double level : levels)
        sum += std::pow(10, level / 10);
    EXPECT_NEAR(*m.loudness.integrated, 10 * std::log10(sum / 2), 0.1);
    ASSERT_EQ(m.channels.size(), 5u);
    for (int c = 0; c < 5; ++c) {
        EXPECT_NEAR(m.channels[size_t(c)].samplePeak, levels[c], 0.05) << c;
        EXPECT_NEAR(m.channels[size_t(c)].truePeak, levels[c], 0.1) << c;
    }
}

TEST_F(QualityCheckTest, LoudnessRangeOfTheTech3342Cases) {
    struct Case {
        std::vector<std::pair<double, double>> parts;
        double range;
    };
    const Case cases[] = {
        {{{20, -20}, {20, -30}}, 10},
        {{{20, -20}, {20, -15}}, 5},
        {{{20, -40}, {20, -20}}, 20},
        {{{20, -50}, {20, -35}, {20, -20}, {20, -35}, {20, -50}}, 15},
    };
    int n = 0;
    for (const Case& c : cases) {
        const auto m =
            loudnessOf(write("lra" + std::to_string(++n) + ".wav", segments(2, c.parts)));
        ASSERT_TRUE(m.loudness.range) << n;
        EXPECT_NEAR(*m.loudness.range, c.range, 1.0) << n;
    }
}

TEST_F(QualityCheckTest, TruePeakOfTheTech3341InterSampleCases) {
    // Cases 15-18: sines at fs/4, fs/4, fs/6, fs/8 with phases 0°, 45°, 60°, 67.5° and a peak
    // of -6 dBFS between the samples read -6.0 dBTP (+0.2/-0.4). Case 19: +3 dBTP.
    struct Case {
        double divisor, phaseDegrees, peakDB;
    };
    const Case cases[] = {{4, 0, -6}, {4, 45, -6}, {6, 60, -6}, {8, 67.5, -6}, {4, 45, 3}};
    int n = 0;
    for (const Case& c : cases) {
        const double rate = 48000;
        // Faded in and out over 20 ms: an abrupt start is a real overshoot of its own.
        const auto tone = test::sine(test::linear(c.peakDB), rate / c.divisor, rate,
                                     c.phaseDegrees * std::numbers::pi / 180);
        const size_t frames = size_t(rate), fade = size_t(0.02 * rate);
        const Planes planes = test::generate(2, frames, [&](size_t i) {
            const size_t edge = std::min(i, frames - 1 - i);
            const double gain =
                edge >= fade ? 1.0
                             : 0.5 - 0.5 * std::cos(std::numbers::pi * double(edge) / double(fade));
            return float(tone(i) * gain);
        });
        const auto m = QualityCheck::measure(write("tp" + std::to_string(++n) + ".wav", planes));
        EXPECT_LE(m.strictTruePeak, c.peakDB + 0.2) << n;
        EXPECT_GE(m.strictTruePeak, c.peakDB - 0.4) << n;
        EXPECT_LE(m.channels[0].samplePeak, m.channels[0].truePeak + 1e-9) << n;
    }
}

TEST_F(QualityCheckTest, SeriesFollowsTheProgrammeAndStaysBounded) {
    // 4 s at -30 then 4 s at -20: short-term readings reach -20 LUFS only in the second half,
    // and nothing is reported before the windows are full.
    const auto m = QualityCheck::measure(write("steps.wav", segments(2, {{4, -30}, {4, -20}})));
    ASSERT_FALSE(m.series.empty());
    EXPECT_NEAR(m.seriesStep, 0.1, 1e-12);
    EXPECT_EQ(m.series.size(), 80u);
    EXPECT_TRUE(std::isinf(m.series[2].momentary));   // 0.3 s
    EXPECT_TRUE(std::isinf(m.series[20].shortTerm));  // 2.1 s
    EXPECT_NEAR(m.series.back().shortTerm, -20, 0.2);
    EXPECT_NEAR(m.series[35].momentary, -30, 0.2);
    EXPECT_NEAR(*m.maxMomentary, -20, 0.2);
    EXPECT_NEAR(*m.maxShortTerm, -20, 0.2);
    EXPECT_NEAR(m.series.back().truePeak, -20, 0.2);

    // A long programme gets a coarser step instead of an unbounded series.
    const auto hour = loudnessOf(write("long.wav", segments(1, {{600, -20}}, 8000), 8000));
    EXPECT_LE(hour.series.size(), 4001u);
    EXPECT_NEAR(hour.seriesStep, 0.2, 1e-12);
}

TEST_F(QualityCheckTest, ProgrammeChannelsAloneAreMeasuredButEveryChannelHasPeaks) {
    Planes planes = segments(3, {{5, -20}});
    for (float& x : planes[2])
        x *= float(test::linear(6));  // a hot channel outside the programme
    const auto m =
        QualityCheck::measure(write("three.wav", planes), std::vector<bool>{true, true, false});
    EXPECT_EQ(m.programmeChannels, (std::vector<int>{1, 2}));
    EXPECT_NEAR(*m.loudness.integrated, -20, 0.1);
    EXPECT_NEAR(m.strictTruePeak, -20, 0.1);  // the hot channel is not programme
    ASSERT_EQ(m.channels.size(), 3u);
    EXPECT_NEAR(m.channels[2].truePeak, -14, 0.1);
}

TEST(DeliveryStandardTest, TableAndLookup) {
    ASSERT_GE(deliveryStandards().size(), 5u);
    const DeliveryStandard* r128 = findDeliveryStandard("EBU R 128");
    ASSERT_NE(r128, nullptr);
    EXPECT_EQ(r128, findDeliveryStandard("ebu-r128"));
    EXPECT_EQ(r128, findDeliveryStandard("R128"));
    EXPECT_EQ(r128->targetLUFS, -23);
    EXPECT_EQ(r128->toleranceLU, 0.5);
    EXPECT_EQ(r128->maxTruePeakDBTP, -1);
    const DeliveryStandard* atsc = findDeliveryStandard("atsc a/85");
    ASSERT_NE(atsc, nullptr);
    EXPECT_EQ(atsc->targetLUFS, -24);
    EXPECT_EQ(atsc->toleranceLU, 2);
    EXPECT_EQ(atsc->maxTruePeakDBTP, -2);
    EXPECT_EQ(findDeliveryStandard("arib")->maxTruePeakDBTP, -1);
    EXPECT_EQ(findDeliveryStandard("podcast")->targetLUFS, -16);
    EXPECT_EQ(findDeliveryStandard("Streaming")->targetLUFS, -14);
    EXPECT_EQ(findDeliveryStandard("r12"), nullptr);
    EXPECT_EQ(findDeliveryStandard(""), nullptr);
}

TEST(ComplianceTest, VerdictJudgesLoudnessAndStrictPeakAndReportsRange) {
    const DeliveryStandard& r128 = *findDeliveryStandard("ebu-r128");
    QualityMeasurement m;
    m.loudness.integrated = -23.4;
    m.loudness.range = 12;
    m.strictTruePeak = -1.0;
    auto v = QualityCheck::judge(m, r128);
    EXPECT_TRUE(v.compliant) << v.reason();
    EXPECT_EQ(v.reason(), "");
    ASSERT_EQ(v.criteria.size(), 3u);
    EXPECT_TRUE(v.criteria[2].informative);

    // Unrounded: -22.46 is outside -23 ±0.5 even though a display rounds it to -22.5.
    m.loudness.integrated = -22.46;
    m.strictTruePeak = -0.99;
    v = QualityCheck::judge(m, r128);
    EXPECT_FALSE(v.compliant);
    EXPECT_NE(v.reason().find("integrated loudness -22.5 LUFS is outside -23.0 \u00b10.5 LUFS"),
              std::string::npos)
        << v.reason();
    EXPECT_NE(v.reason().find("true peak -0.99 dBTP is above -1.0 dBTP"), std::string::npos)
        << v.reason();

    // Silence cannot comply with a loudness target.
    m.loudness.integrated.reset();
    m.strictTruePeak = -std::numeric_limits<double>::infinity();
    v = QualityCheck::judge(m, r128);
    EXPECT_FALSE(v.compliant);
    EXPECT_NE(v.reason().find("could not be measured"), std::string::npos);
}

}  // namespace
}  // namespace corvaline
