// corvaline-cli render with a restoration model: stand-in engines in a model folder made by
// the test, run through the command line as a user would.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "../finishing/FinishingFixtures.hpp"
#include "TestSupport.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
const auto quote = test::shellQuote;

using test::entries;

class RestoreCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(test::cliProgram())) GTEST_SKIP() << "corvaline-cli is not built";
        fs::create_directories(dir / "data" / "Corvaline" / "Models");
        fs::create_directories(dir / "data" / "Corvaline" / "Runtime");
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "out");
        source = dir / "take.wav";
        planes = test::generate(2, 96000, test::sine(0.9, 300));
        for (auto& s : planes[0])
            s *= 1.6f;  // above full scale: the engine gets it pre-gained
        test::writeWave(source, planes);
    }

    fs::path root() const { return dir / "data" / "Corvaline"; }
    /// A DeepFilterNet stand-in that runs `body` with $in and $out set.
    void installDeepFilter(const std::string& body = "cp \"$in\" \"$out\"") const {
        test::writeFile(root() / "Models" / "DeepFilterNet3_onnx.tar.gz", "model");
        test::writeFile(root() / "Runtime" / "deep-filter",
                        "#!/bin/sh\n"
                        "while [ $# -gt 1 ]; do case \"$1\" in -o) dir=\"$2\"; shift 2;; "
                        "-m|-a) shift 2;; *) shift;; esac; done\n"
                        "in=\"$1\"; out=\"$dir/$(basename \"$in\")\"\n" +
                            body + "\n",
                        true);
    }
    std::string environment() const {
        return "XDG_DATA_HOME=" + quote((dir / "data").string()) +
               " TMPDIR=" + quote((dir / "tmp").string()) + " ";
    }
    test::ShellResult cli(const std::string& arguments) const {
        return test::runShell(environment() + quote(test::cliProgram().string()) + " " + arguments +
                              " 2>&1");
    }

    test::TempDir dir;
    fs::path source;
    test::Planes planes;
};

TEST_F(RestoreCommandTest, IdentityEngineMatchesTheChainAlone) {
    installDeepFilter();
    const std::string in = quote(source.string());
    auto run = cli("render " + in + " -o " + quote((dir / "out" / "restored.wav").string()) +
                   " --model dfn3 --reduction 12.5 --process 1 --bits 32");
    ASSERT_EQ(run.status, 0) << run.output;
    run = cli("render " + in + " -o " + quote((dir / "out" / "chain.wav").string()) +
              " --process 1 --bits 32");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto restored = test::readWave(dir / "out" / "restored.wav");
    const auto chain = test::readWave(dir / "out" / "chain.wav");
    ASSERT_EQ(restored[0].size(), planes[0].size());
    for (size_t i = 0; i < chain[0].size(); ++i)
        ASSERT_NEAR(restored[0][i], chain[0][i], 1e-6) << i;
    EXPECT_EQ(restored[1], planes[1]);
    EXPECT_THAT(entries(dir / "out"), ::testing::ElementsAre("chain.wav", "restored.wav"));
    EXPECT_TRUE(entries(dir / "tmp").empty());

    // A selection preview has exactly the selection's length.
    run = cli("render " + in + " -o " + quote((dir / "out" / "part.wav").string()) +
              " --model dfn3 --start 0.25 --end 1.25");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(test::readWave(dir / "out" / "part.wav")[0].size(), 48000u);
    EXPECT_THAT(run.output, HasSubstr("Rendered selection"));
}

TEST_F(RestoreCommandTest, MissingModelsNameTheCommandThatInstallsThem) {
    const std::string in = quote(source.string());
    const std::string out = quote((dir / "out" / "x.wav").string());
    auto run = cli("render " + in + " -o " + out + " --model dfn3");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.output, HasSubstr("Download the selected model in Settings first."));
    EXPECT_THAT(run.output, HasSubstr("corvaline-cli models install dfn3"));

    test::writeFile(root() / "Models" / "DeepFilterNet3_onnx.tar.gz", "model");
    run = cli("render " + in + " -o " + out + " --model dfn3");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.output, HasSubstr("Download the speech runtime in Settings first."));

    // A preset with isolation on uses its model.
    run = cli("render " + in + " -o " + out + " --preset " + quote("Interview · CPU Reference"));
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.output, HasSubstr("corvaline-cli models install sidon-reference"));
    // ...unless the blend is all original.
    run = cli("render " + in + " -o " + out + " --preset " + quote("Interview · CPU Reference") +
              " --original-mix 100");
    EXPECT_EQ(run.status, 0) << run.output;

    run = cli("render " + in + " -o " + out + " --model dfn3 --sidon-quality Best");
    EXPECT_EQ(run.status, 2);
    run = cli("render " + in + " -o " + out + " --start 1");
    EXPECT_EQ(run.status, 2);
}

TEST_F(RestoreCommandTest, EngineFailureAndInterruptLeaveNothing) {
    installDeepFilter("echo 'the engine gave up' >&2; exit 3");
    const auto out = dir / "out" / "x.wav";
    auto run =
        cli("render " + quote(source.string()) + " -o " + quote(out.string()) + " --model dfn3");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.output, HasSubstr("Local runtime failed (3).\nthe engine gave up"));
    EXPECT_TRUE(entries(dir / "out").empty());

    const auto started = dir / "started";
    installDeepFilter("touch " + quote(started.string()) + "; exec sleep 30");
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + (dir / "data").string(),
                                          "TMPDIR=" + (dir / "tmp").string(), "PATH=/usr/bin:/bin"};
    const pid_t child = test::spawn({test::cliProgram().string(), "render", source.string(), "-o",
                                     out.string(), "--model", "dfn3"},
                                    &env);
    ASSERT_GT(child, 0);
    for (int i = 0; i < 1000 && !fs::exists(started); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(started));
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_TRUE(entries(dir / "out").empty());  // no destination, no working folder
    EXPECT_TRUE(entries(dir / "tmp").empty());  // no log file
}

}  // namespace
}  // namespace corvaline
