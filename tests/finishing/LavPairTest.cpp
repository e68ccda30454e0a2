#include "audiocore/finishing/LavPairAnalyzer.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"

namespace corvaline {
namespace {

using test::Planes;

const std::string kNoTurns =
    "Calibration needs a passage with both people taking turns. Use a longer selection or the "
    "full recording; detector trims were not changed.";

void expectFailure(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const AudioFailure& failure) {
        EXPECT_EQ(failure.message(), message);
    }
}

std::vector<double> clusters(double a, size_t countA, double b, size_t countB) {
    std::vector<double> values;
    for (size_t i = 0; i < countA; ++i)
        values.push_back(a + 0.3 * std::sin(double(i)));
    for (size_t i = 0; i < countB; ++i)
        values.push_back(b + 0.3 * std::cos(double(i)));
    return values;
}

TEST(LavPairFitTest, CentresTheTwoClusters) {
    auto fit = LavPairAnalyzer::fit(clusters(14, 60, -6, 60));
    EXPECT_NEAR(fit.trim, -2, 0.05);
    EXPECT_NEAR(fit.separation, 20, 0.1);

    // Exact values: the means are exact too.
    std::vector<double> exact(50, 14.0);
    exact.insert(exact.end(), 50, -6.0);
    fit = LavPairAnalyzer::fit(exact);
    EXPECT_DOUBLE_EQ(fit.trim, -2);
    EXPECT_DOUBLE_EQ(fit.separation, 20);

    // Outliers beyond the 5-95 % range are clamped into it and do not drag the centres.
    std::vector<double> outliers = exact;
    outliers.push_back(48);
    outliers.push_back(-48);
    fit = LavPairAnalyzer::fit(outliers);
    EXPECT_NEAR(fit.trim, -2, 0.01);
}

TEST(LavPairFitTest, RefusesPassagesWithoutTurns) {
    expectFailure([] { LavPairAnalyzer::fit(clusters(14, 20, -6, 19)); }, kNoTurns);  // 39 steps
    expectFailure([] { LavPairAnalyzer::fit(clusters(4, 60, -4, 60)); }, kNoTurns);   // 8 dB apart
    expectFailure([] { LavPairAnalyzer::fit(clusters(10, 200, 10, 0)); }, kNoTurns);  // one talker
    expectFailure([] { LavPairAnalyzer::fit(clusters(40, 60, 20, 60)); },
                  kNoTurns);  // imbalance 30
    expectFailure([] { LavPairAnalyzer::fit(clusters(14, 700, -6, 19)); }, kNoTurns);  // under 3 %
    EXPECT_NO_THROW(LavPairAnalyzer::fit(clusters(14, 660, -6, 40)));  // 40 >= 700/33
}

class LavPairAnalyzeTest : public ::testing::Test {
  protected:
    test::TempDir dir;

    // Two people taking turns for `turns` turns of 2 s: while A talks, B's lav hears A 14 dB
    // down; while B talks, A's lav hears B 6 dB down. A third channel carries a camera track.
    std::filesystem::path conversation(int turns, bool onlyA = false) {
        test::Noise noise;
        const size_t frames = size_t(turns) * 2 * 48000;
        Planes planes(3, std::vector<float>(frames));
        for (size_t i = 0; i < frames; ++i) {
            const double t = double(i) / 48000;
            const bool aTalks = onlyA || (int(t / 2) % 2 == 0);
            const double syllable = 0.2 + 0.8 * std::abs(std::sin(2 * M_PI * 3 * t));
            double voice = 0;
            for (int k = 1; k <= 12; ++k)
                voice += std::sin(2 * M_PI * (aTalks ? 130 : 210) * k * t) / k;
            const double s = 0.1 * syllable * voice;
            planes[0][i] = float(aTalks ? s : s * test::linear(-6));
            planes[1][i] = float(aTalks ? s * test::linear(-14) : s);
            planes[2][i] = 0.01f * noise();
        }
        const auto url = dir / "conversation.wav";
        test::writeWave(url, planes);
        return url;
    }
};

TEST_F(LavPairAnalyzeTest, TurnTakingGivesOppositeTrims) {
    const auto url = conversation(16);
    std::vector<double> reports;
    const auto result = LavPairAnalyzer::analyze(url, 0, 1, std::nullopt, -48,
                                                 [&](double f) { reports.push_back(f); });
    EXPECT_NEAR(result.trimA, -2, 0.3);
    EXPECT_EQ(result.trimB, -result.trimA);
    EXPECT_NEAR(result.separationDB, 20, 0.8);
    EXPECT_DOUBLE_EQ(result.analyzedSeconds, 32);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 1.0);

    // Swapping the mics mirrors the result; a range analyses only its passage.
    const auto swapped = LavPairAnalyzer::analyze(url, 1, 0, AudioFrameRange{0, 16 * 48000}, -48);
    EXPECT_NEAR(swapped.trimA, 2, 0.3);
    EXPECT_DOUBLE_EQ(swapped.analyzedSeconds, 16);
}

TEST_F(LavPairAnalyzeTest, FailuresLeaveTrimsAlone) {
    const std::string tracks = "Choose two different synchronized lav tracks.";
    const auto url = conversation(4);
    expectFailure([&] { LavPairAnalyzer::analyze(url, 1, 1, std::nullopt, -48); }, tracks);
    expectFailure([&] { LavPairAnalyzer::analyze(url, 0, 3, std::nullopt, -48); }, tracks);
    expectFailure([&] { LavPairAnalyzer::analyze(url, -1, 0, std::nullopt, -48); }, tracks);
    expectFailure(
        [&] {
            LavPairAnalyzer::analyze(url, 0, 1, AudioFrameRange{0, 8 * 48000 + 1}, -48);
        },
        tracks);
    // Below the floor nothing counts: the camera channel's hiss alone never calibrates.
    expectFailure(
        [&] {
            LavPairAnalyzer::analyze(url, 2, 0, AudioFrameRange{0, 48000}, -20);
        },
        kNoTurns);

    const auto single = conversation(8, true);
    expectFailure([&] { LavPairAnalyzer::analyze(single, 0, 1, std::nullopt, -48); }, kNoTurns);
}

}  // namespace
}  // namespace corvaline
