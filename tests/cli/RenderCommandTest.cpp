// corvaline-cli render and presets, run as child processes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "../finishing/FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;

using Outcome = test::ShellResult;
const auto quote = test::shellQuote;

fs::path program() {
    return test::cliProgram();
}

Outcome cli(const std::string& arguments) {
    return test::runShell(quote(program().string()) + " " + arguments + " 2>&1");
}

// Files in `folder` other than `keep`.
std::vector<std::string> extraFiles(const fs::path& folder, const std::vector<std::string>& keep) {
    std::vector<std::string> extra;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const auto name = entry.path().filename().string();
        if (std::find(keep.begin(), keep.end(), name) == keep.end()) extra.push_back(name);
    }
    return extra;
}

class RenderCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(program())) GTEST_SKIP() << "corvaline-cli is not built";
    }
    test::TempDir dir;
};

TEST_F(RenderCommandTest, RendersAndKeepsTheRecorderMetadataByteForByte) {
    const auto source = dir / "take.wav";
    test::writeWave(source, test::generate(2, 48000, test::sine(0.9, 440)), 48000, 24);
    WaveMetadata metadata;
    std::vector<uint8_t> bext(602, 0);
    const std::string description = "Scene 12 take 3";
    std::copy(description.begin(), description.end(), bext.begin());
    bext[338] = 0x40;  // a time reference, low byte
    const std::string ixml = "<BWFXML><SCENE>12</SCENE><TAKE>3</TAKE></BWFXML>!";  // odd length
    metadata.chunks = {{"bext", bext}, {"iXML", std::vector<uint8_t>(ixml.begin(), ixml.end())}};
    metadata.append(source);
    const auto chunks = WaveMetadata::read(source).chunks;
    ASSERT_EQ(chunks.size(), 2u);

    const auto out = dir / "finished.wav";
    const Outcome run = cli("render " + quote(source.string()) + " -o " + quote(out.string()));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Rendered"), std::string::npos) << run.output;
    EXPECT_TRUE(WaveMetadata::read(out).chunks == chunks);
    const auto result = test::readWave(out);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].size(), 48000u);
    EXPECT_EQ(AudioIO::open(out)->fileBitDepth(), 24);
    EXPECT_TRUE(extraFiles(dir.path(), {"take.wav", "finished.wav"}).empty());
}

TEST_F(RenderCommandTest, SettingsOptionsAndUnprocessedChannels) {
    const auto source = dir / "in.wav";
    test::Planes planes = test::generate(2, 24000, test::sine(0.5, 1000));
    test::writeWave(source, planes);
    const auto settings = dir / "transparent.json";
    test::writeFile(settings, R"({"eqEnabled": false, "compressorEnabled": false,
                                  "limiterEnabled": false})");
    const auto out = dir / "out.wav";
    const Outcome run =
        cli("render " + quote(source.string()) + " -o " + quote(out.string()) + " --settings " +
            quote(settings.string()) + " --set outputGain=-6 --process 1 --bits 32");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto result = test::readWave(out);
    EXPECT_EQ(result[1], planes[1]);  // channel 2 is carried through untouched
    EXPECT_NEAR(result[0][12000], planes[0][12000] * test::linear(-6), 1e-6);
}

TEST_F(RenderCommandTest, RefusesBadRequestsWithoutWritingAnything) {
    const auto source = dir / "in.wav";
    test::writeWave(source, test::generate(2, 4800, test::sine(0.5, 1000)));
    const std::string before = test::readFile(source);
    fs::create_symlink(source, dir / "link.wav");
    const std::string in = quote(source.string());
    const std::string out = quote((dir / "out.wav").string());

    Outcome run = cli("render " + in + " -o " + in);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("Choose a different output file to protect the source recording."),
              std::string::npos)
        << run.output;
    run = cli("render " + in + " -o " + quote((dir / "link.wav").string()));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(test::readFile(source) == before);

    run = cli("render " + in + " -o " + out + " --set celing=-2");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("celing: unknown setting"), std::string::npos) << run.output;
    run = cli("render " + in + " -o " + out + " --ceiling 3");
    EXPECT_NE(run.output.find("ceiling: must be between -12 and -0.1"), std::string::npos)
        << run.output;
    run = cli("render " + in + " -o " + out + " --bits 16");
    EXPECT_EQ(run.status, 2);
    run = cli("render " + in + " -o " + out + " --process 3");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("channel 3 does not exist"), std::string::npos) << run.output;
    run = cli("render " + in + " -o " + out + " --preset Loud");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("Dialogue Balanced"), std::string::npos) << run.output;
    run = cli("render " + in);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(extraFiles(dir.path(), {"in.wav", "link.wav"}).empty());
}

TEST_F(RenderCommandTest, InterruptCancelsAndLeavesNoPartialOutput) {
    const auto source = dir / "long.wav";
    test::writeWave(source, test::generate(8, 48000 * 120, test::sine(0.3, 220)));
    const auto out = dir / "out.wav";
    const pid_t child =
        test::spawn({program().string(), "render", source.string(), "-o", out.string()});
    ASSERT_GT(child, 0);
    // Wait until the render has opened a working file beside the output, then interrupt it.
    const auto writing = [&] {
        return test::holdsFileIn(child, dir.path(), "long.wav") ||
               !extraFiles(dir.path(), {"long.wav"}).empty();
    };
    for (int i = 0; i < 800 && !writing(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(extraFiles(dir.path(), {"long.wav"}).empty());
}

TEST_F(RenderCommandTest, PresetsAreListedAndShown) {
    Outcome run = cli("presets");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.output.find("Dialogue Balanced\n"), 0u);
    EXPECT_NE(run.output.find("Transparent\n"), std::string::npos);
    run = cli("presets --show 'Noisy Location'");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("\"reduction\": 30"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace corvaline
