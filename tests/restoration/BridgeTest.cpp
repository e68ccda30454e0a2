// The Python bridges run by the system interpreter with stand-in runtime packages (torch,
// torchaudio, transformers, demucs on plain lists), through the real runner and command lines.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>

#include "../finishing/FinishingFixtures.hpp"
#include "RestorationTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/restoration/LocalInference.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::failureOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class BridgeTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no system python3";
        sidonBridge = LocalInference::bridgeScript("sidon_reference_bridge");
        demucsBridge = LocalInference::bridgeScript("demucs_bridge");
        if (!fs::exists(sidonBridge)) GTEST_SKIP() << "bridges are not beside the tests";
        // With a real torch the bridges' tensor code, TorchScript loading and resampling run
        // for real (only transformers and demucs are stood in for); the other run has every
        // package stood in for on plain lists (they come first on the path).
        realTorch = GetParam();
        if (realTorch &&
            test::runShell("/usr/bin/python3 -c 'import torch, torchaudio' 2>/dev/null").status !=
                0)
            GTEST_SKIP() << "the system interpreter has no torch";
        const fs::path packages = fs::path(CORVALINE_TEST_PYTHON_PACKAGES).parent_path() /
                                  (realTorch ? "python-torch" : "python");
        // The runtime's interpreter: isolated mode would hide the stand-in packages, so this
        // one drops "-I" and puts them on the path itself.
        python = dir / "runtime" / "bin" / "python3";
        fs::create_directories(python.parent_path());
        test::writeFile(python,
                        "#!/bin/sh\n[ \"$1\" = -I ] && shift\nPYTHONPATH=" +
                            test::shellQuote(packages.string()) +
                            " exec /usr/bin/python3 -B \"$@\"\n",
                        true);
        const fs::path reference = dir / "SidonReference";
        fs::create_directories(reference);
        if (realTorch) {
            const auto made = test::runShell(
                "/usr/bin/python3 " + test::shellQuote((packages / "make_models.py").string()) +
                " " + test::shellQuote(reference.string()) + " 2>&1");
            ASSERT_EQ(made.status, 0) << made.output;
        } else {
            test::writeFile(reference / "feature_extractor_cpu.pt", "predictor");
            test::writeFile(reference / "decoder_cpu.pt", "decoder");
        }
        fs::create_directories(dir / "Models");
        test::writeFile(dir / "Models" / "955717e8-8726e21a.th", "checkpoint");
        fs::create_directories(dir / "work");
    }

    /// A constant mono recording: the stand-in models give the constant back.
    fs::path constant(double seconds, double rate, float value) const {
        const auto path = dir / "constant.wav";
        test::writeWave(
            path, test::generate(1, size_t(seconds * rate), [value](size_t) { return value; }),
            rate);
        return path;
    }

    /// Every sample away from the ends is `value`, within the ripple a windowed-sinc resampler
    /// leaves after the cut-off ends of a constant.
    static void expectConstant(const std::vector<float>& samples, float value, size_t margin) {
        for (size_t i = margin; i + margin < samples.size(); i += 31)
            ASSERT_NEAR(samples[i], value, 2e-3) << i;
    }

    test::TempDir dir;
    fs::path python, sidonBridge, demucsBridge;
    bool realTorch = false;
};

TEST_P(BridgeTest, SidonReferenceRestoresExactlyTheInputLengthWithProgress) {
    // Twelve seconds at 44.1 kHz: two windows, a crossfade, resampling both ways.
    const auto source = constant(12, 44100, 0.5f);
    const auto configuration =
        InferenceConfiguration::sidonReference(python, dir / "SidonReference", sidonBridge);
    std::vector<double> progress;
    LocalInference::enhance(source, dir / "work" / "out.wav", {}, configuration,
                            SidonQuality::standard, [&](double f) { progress.push_back(f); });
    const auto result = test::readWave(dir / "work" / "out.wav");
    ASSERT_EQ(result.size(), 1u);
    ASSERT_EQ(result[0].size(), 12u * 44100);
    expectConstant(result[0], 0.5f, 4410);
    // The bridge's own lines arrive while the channel runs (at most ten a second).
    ASSERT_GE(progress.size(), 2u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LT(progress.front(), 1.0);
    EXPECT_EQ(progress.back(), 1.0);
}

TEST_P(BridgeTest, SidonReferenceModelCheck) {
    const auto environment = ManagedRuntime::environment(std::nullopt);
    const auto check = [&](const fs::path& folder) {
        LocalInference::run(python, LocalInference::verifyArguments(sidonBridge, folder),
                            environment);
    };
    check(dir / "SidonReference");  // usable files pass

    test::writeFile(dir / "SidonReference" / "decoder_cpu.pt", "saved by a newer release");
    const std::string failure = failureOf([&] { check(dir / "SidonReference"); });
    EXPECT_THAT(failure, StartsWith("Local runtime failed (1).\nThe Sidon reference file "
                                    "decoder_cpu.pt could not be loaded: "));
    EXPECT_THAT(failure, HasSubstr("PytorchStreamReader failed reading zip archive"));
    fs::remove(dir / "SidonReference" / "decoder_cpu.pt");
    EXPECT_THAT(failureOf([&] { check(dir / "SidonReference"); }),
                HasSubstr("The Sidon reference file decoder_cpu.pt is missing from"));
    EXPECT_THAT(
        failureOf([&] {
            LocalInference::run(python, {"-I", sidonBridge.string(), "--input", "x"}, environment);
        }),
        StartsWith("Local runtime failed (2)."));  // --repo is required
}

TEST_P(BridgeTest, DemucsReturnsTheVocalsStemAtTheInputRate) {
    const auto source = constant(1.5, 48000, -0.25f);
    const InferenceConfiguration configuration(python, dir / "Models" / "955717e8-8726e21a.th",
                                               demucsBridge, 0);
    LocalInference::enhance(source, dir / "work" / "out.wav", {}, configuration,
                            SidonQuality::standard);
    const auto result = test::readWave(dir / "work" / "out.wav");
    ASSERT_EQ(result[0].size(), 72000u);
    expectConstant(result[0], -0.25f, 4800);

    fs::remove(dir / "Models" / "955717e8-8726e21a.th");
    EXPECT_THAT(failureOf([&] {
                    LocalInference::enhance(source, dir / "work" / "again.wav", {}, configuration,
                                            SidonQuality::standard);
                }),
                HasSubstr("The HTDemucs checkpoint 955717e8-*.th is missing from"));
}

TEST_P(BridgeTest, BridgesRefuseInputsThatBreakTheContract) {
    const auto stereo = dir / "stereo.wav";
    test::writeWave(stereo, test::generate(2, 4800, test::sine(0.5, 440)));
    const auto environment = ManagedRuntime::environment(std::nullopt);
    for (const auto& bridge : {sidonBridge, demucsBridge}) {
        const std::string repo =
            (bridge == sidonBridge ? dir / "SidonReference" : dir / "Models").string();
        const std::string failure = failureOf([&] {
            LocalInference::run(python,
                                {"-I", bridge.string(), "--input", stereo.string(), "--output",
                                 (dir / "x.wav").string(), "--repo", repo},
                                environment);
        });
        EXPECT_THAT(failure, StartsWith("Local runtime failed (1).\n"));
        EXPECT_THAT(failure, HasSubstr("The input has 2 channels; one was expected.\n"));
        EXPECT_FALSE(fs::exists(dir / "x.wav"));
        EXPECT_FALSE(fs::exists(dir / "x.wav.partial"));
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, BridgeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "RealTorch" : "StandIns";
                         });

}  // namespace
}  // namespace corvaline
