// corvaline-cli loudness and calibrate, run as child processes.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "../finishing/FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;

using Outcome = test::ShellResult;

// Standard output only.
Outcome cli(const std::string& arguments) {
    return test::runShell(test::shellQuote(test::cliProgram().string()) + " " + arguments +
                          " 2>/dev/null");
}

class LoudnessCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(paths::executableFolder() / "corvaline-cli")) {
            GTEST_SKIP() << "corvaline-cli is not built";
        }
    }
    test::TempDir dir;
};

TEST_F(LoudnessCommandTest, ReportsTheProgrammeAndTheGain) {
    const auto url = dir / "tone.wav";
    test::writeWave(url, test::generate(2, 10 * 48000, test::sine(test::linear(-23), 1000)));
    Outcome run = cli("loudness '" + url.string() + "' --preset Transparent --json");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto report = nlohmann::json::parse(run.output);
    EXPECT_NEAR(report["integrated"].get<double>(), -23, 0.1);
    EXPECT_NEAR(report["truePeak"].get<double>(), -23, 0.1);
    EXPECT_NEAR(report["gainDB"].get<double>(), 7, 0.1);  // to the default -16 LUFS
    EXPECT_EQ(report["peakLimited"], false);
    EXPECT_EQ(report["channels"], nlohmann::json::array({1, 2}));

    // Only channel 2, which is silent here: nothing to measure, no gain.
    const auto half = dir / "half.wav";
    test::Planes planes = test::generate(2, 48000, test::sine(0.5, 1000));
    std::fill(planes[1].begin(), planes[1].end(), 0.0f);
    test::writeWave(half, planes);
    run = cli("loudness '" + half.string() + "' --process 2 --json");
    ASSERT_EQ(run.status, 0);
    const auto silent = nlohmann::json::parse(run.output);
    EXPECT_TRUE(silent["integrated"].is_null());
    EXPECT_TRUE(silent["truePeak"].is_null());
    EXPECT_EQ(silent["gainDB"].get<double>(), 0);

    run = cli("loudness '" + url.string() + "' --preset Transparent");
    ASSERT_EQ(run.status, 0);
    EXPECT_TRUE(run.output.find("Integrated loudness: -23.0 LUFS") != std::string::npos ||
                run.output.find("Integrated loudness: -22.9 LUFS") != std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("True peak:           -23.0 dBTP"), std::string::npos) << run.output;
}

TEST_F(LoudnessCommandTest, CalibrateProposesTrims) {
    // A talks for 2 s (B's lav hears A 14 dB down), then B (A's lav hears B 6 dB down).
    const size_t frames = 24 * 48000;
    test::Planes planes(2, std::vector<float>(frames));
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / 48000;
        const bool aTalks = int(t / 2) % 2 == 0;
        const double s = 0.1 * (0.2 + 0.8 * std::abs(std::sin(2 * M_PI * 3 * t))) *
                         std::sin(2 * M_PI * (aTalks ? 300 : 500) * t);
        planes[0][i] = float(aTalks ? s : s * test::linear(-6));
        planes[1][i] = float(aTalks ? s * test::linear(-14) : s);
    }
    const auto url = dir / "pair.wav";
    test::writeWave(url, planes);
    Outcome run = cli("calibrate '" + url.string() + "' --mic-a 1 --mic-b 2 --json");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto result = nlohmann::json::parse(run.output);
    EXPECT_NEAR(result["trimA"].get<double>(), -2, 0.3);
    EXPECT_NEAR(result["trimB"].get<double>(), 2, 0.3);
    EXPECT_NEAR(result["separationDB"].get<double>(), 20, 0.8);

    run = cli("calibrate '" + url.string() + "' --mic-a 1 --mic-b 2 --start 0 --end 6");
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("over 6.0 s"), std::string::npos) << run.output;
    EXPECT_EQ(cli("calibrate '" + url.string() + "' --mic-a 1 --mic-b 1").status, 1);
    EXPECT_EQ(cli("calibrate '" + url.string() + "' --mic-a 1").status, 2);
}

}  // namespace
}  // namespace corvaline
