// corvaline-cli info and demo, run as child processes.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "TestSupport.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;

using Result = test::ShellResult;
const auto quote = test::shellQuote;

Result cli(const std::string& arguments) {
    return test::runShell(quote(test::cliProgram().string()) + " " + arguments + " 2>&1");
}

void writeWav(const fs::path& path, int channels, int frames) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> samples(size_t(channels) * size_t(frames), 0.5f);
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(paths::executableFolder() / "corvaline-cli")) {
            GTEST_SKIP() << "corvaline-cli is not built";
        }
    }
    test::TempDir dir;
};

TEST_F(CliTest, DemoThenInfoDescribesTheRecording) {
    const auto demo = dir / "demo.wav";
    const Result made = cli("demo " + quote(demo.string()));
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_TRUE(fs::exists(demo));

    const Result text = cli("info " + quote(demo.string()));
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("48000 Hz"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("576000 frames (00:00:12.000)"), std::string::npos);
    EXPECT_NE(text.output.find("Channel 4"), std::string::npos);
    EXPECT_NE(text.output.find("dBFS"), std::string::npos);

    const Result json = cli("info --json " + quote(demo.string()));
    ASSERT_EQ(json.status, 0) << json.output;
    const auto parsed = nlohmann::json::parse(json.output);
    EXPECT_EQ(parsed["sampleRate"], 48000.0);
    EXPECT_EQ(parsed["frameCount"], 576000);
    EXPECT_EQ(parsed["bitDepth"], 32);
    ASSERT_EQ(parsed["channels"].size(), 4u);
    EXPECT_EQ(parsed["channels"][0]["name"], "Channel 1");
    EXPECT_LT(parsed["channels"][0]["peakDBFS"].get<double>(), 0.0);
    EXPECT_TRUE(parsed["metadata"]["timeReference"].is_null());
}

TEST_F(CliTest, InfoShowsRecorderMetadata) {
    const auto path = dir / "take.wav";
    writeWav(path, 2, 4800);
    std::vector<uint8_t> bext(602, 0);
    const std::string originator = "FieldRec";
    std::copy(originator.begin(), originator.end(), bext.begin() + 256);
    const uint64_t reference = 48000ull * 3600 * 10;  // 10:00:00 at 48 kHz
    for (int k = 0; k < 8; ++k)
        bext[size_t(338 + k)] = uint8_t(reference >> (8 * k));
    const std::string xml =
        "<BWFXML><SCENE>21B</SCENE><TAKE>4</TAKE><TRACK_LIST><TRACK><CHANNEL_INDEX>2"
        "</CHANNEL_INDEX><NAME>Lav Two</NAME></TRACK></TRACK_LIST></BWFXML>";
    WaveMetadata meta;
    meta.chunks = {WaveChunk{"bext", bext}, WaveChunk{"iXML", {xml.begin(), xml.end()}}};
    meta.append(path);

    const Result text = cli("info " + quote(path.string()));
    ASSERT_EQ(text.status, 0) << text.output;
    for (const char* expected : {"21B", "Take:            4", "FieldRec", "Lav Two", "Channel 1",
                                 "10:00:00.000 (1728000000 samples)", "Bit depth:       24"}) {
        EXPECT_NE(text.output.find(expected), std::string::npos) << expected << "\n" << text.output;
    }
    const auto parsed = nlohmann::json::parse(cli("info --json " + quote(path.string())).output);
    EXPECT_EQ(parsed["metadata"]["timeReference"], reference);
    EXPECT_EQ(parsed["metadata"]["scene"], "21B");
    EXPECT_EQ(parsed["channels"][1]["name"], "Lav Two");
}

TEST_F(CliTest, BadInputGivesTheMessageAndANonZeroExit) {
    Result r = cli("info " + quote((dir / "missing.wav").string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("missing.wav"), std::string::npos) << r.output;

    test::writeFile(dir / "notes.txt", "not audio\n");
    r = cli("info " + quote((dir / "notes.txt").string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("corvaline-cli: "), std::string::npos) << r.output;

    const auto wide = dir / "wide.wav";
    writeWav(wide, 129, 10);
    r = cli("info " + quote(wide.string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("The file is empty or has more than 128 channels."), std::string::npos)
        << r.output;

    EXPECT_EQ(cli("info").status, 2);
    EXPECT_EQ(cli("info a.wav b.wav").status, 2);
    EXPECT_EQ(cli("info --bogus a.wav").status, 2);
    EXPECT_EQ(cli("demo").status, 2);
    EXPECT_EQ(cli("demo " + quote((dir / "no-such-folder" / "x.wav").string())).status, 1);
}

}  // namespace
}  // namespace corvaline
