// Delivery from the command line: batch renders into a folder, compliance with a standard,
// QC reports checked against the `ffmpeg` program's own loudness meter, and Ctrl-C in the
// middle of a batch.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "../finishing/FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Process.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::Planes;

test::ShellResult cli(const std::string& arguments) {
    return test::runShell(test::shellQuote(test::cliProgram().string()) + " " + arguments +
                          " 2>&1");
}

std::string q(const fs::path& path) {
    return test::shellQuote(path.string());
}

bool haveFFmpeg() {
    return test::runShell("command -v ffmpeg >/dev/null 2>&1").status == 0;
}

// Integrated loudness of a file as the `ffmpeg` program's EBU R128 meter reads it.
double ffmpegIntegrated(const fs::path& file) {
    const auto run = test::runShell("ffmpeg -nostats -hide_banner -i " + q(file) +
                                    " -af ebur128=peak=true -f null - 2>&1");
    std::smatch match;
    const std::regex integrated(R"(I:\s+(-?[0-9.]+) LUFS)");
    std::string text = run.output;
    double last = NAN;
    while (std::regex_search(text, match, integrated)) {
        last = std::stod(match[1]);
        text = match.suffix();
    }
    return last;
}

// Hidden working files a render may leave beside its output.
std::vector<std::string> hiddenFiles(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && name[0] == '.') found.push_back(name);
    }
    return found;
}

// Speech-like programme: a 300 Hz tone whose level moves every half second.
Planes programme(int channels, double seconds, double level, double rate = 48000) {
    Planes planes = test::generate(channels, size_t(seconds * rate), test::sine(1, 300, rate));
    for (auto& plane : planes) {
        for (size_t i = 0; i < plane.size(); ++i) {
            const double step = (i / size_t(rate / 2)) % 3 == 0 ? -8 : 0;
            plane[i] = float(plane[i] * test::linear(level + step));
        }
    }
    return planes;
}

class DeliveryCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(paths::executableFolder() / "corvaline-cli")) {
            GTEST_SKIP() << "corvaline-cli is not built";
        }
    }
    test::TempDir dir;
};

TEST_F(DeliveryCommandTest, StandardsAreListed) {
    auto run = cli("standards --json");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto list = nlohmann::json::parse(run.output);
    ASSERT_GE(list.size(), 5u);
    EXPECT_EQ(list[0]["id"], "ebu-r128");
    EXPECT_EQ(list[0]["target"], -23.0);
    run = cli("render x.wav -o y.wav --standard r129");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("ebu-r128, atsc-a85"), std::string::npos) << run.output;
}

TEST_F(DeliveryCommandTest, BatchOfMixedInputsKeepsGoingAndReportsEachFile) {
    if (!haveFFmpeg()) GTEST_SKIP() << "the ffmpeg program is not installed";
    const fs::path in = dir / "day";
    fs::create_directories(in / "cards");
    test::writeWave(in / "interview.wav", programme(2, 8, -30), 48000, 24);
    test::writeWave(in / "cards" / "room.wav", programme(1, 6, -12), 44100, 24);
    ASSERT_EQ(test::runShell("ffmpeg -loglevel error -f lavfi -i sine=frequency=500:duration=5 "
                             "-ac 2 -c:a aac " +
                             q(in / "cards" / "street.m4a"))
                  .status,
              0);
    test::writeFile(in / "cards" / "broken.wav", "RIFF and nothing else");
    test::writeFile(in / "notes.txt", "not audio");  // not picked up from a folder
    const fs::path out = dir / "delivery";
    const fs::path report = dir / "qc.json";

    auto run = cli("render " + q(in) + " -d " + q(out) + " -j 2 --standard ebu-r128 --report " +
                   q(report));
    // One file failed, so the batch fails, but every other file was delivered.
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(fs::exists(out / "interview.wav"));
    EXPECT_TRUE(fs::exists(out / "room.wav"));
    EXPECT_TRUE(fs::exists(out / "street.wav"));
    EXPECT_FALSE(fs::exists(out / "broken.wav"));
    EXPECT_FALSE(fs::exists(out / "notes.wav"));
    EXPECT_EQ(hiddenFiles(out), std::vector<std::string>{});
    EXPECT_NE(run.output.find("broken.wav"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("compliant"), std::string::npos) << run.output;

    const auto qc = nlohmann::json::parse(test::readFile(report));
    EXPECT_EQ(qc["format"], "corvaline-qc-report");
    EXPECT_EQ(qc["version"], 1);
    EXPECT_EQ(qc["standard"]["id"], "ebu-r128");
    EXPECT_EQ(qc["summary"]["files"], 4);
    EXPECT_EQ(qc["summary"]["failed"], 1);
    EXPECT_EQ(qc["summary"]["compliant"], 3);
    int checked = 0;
    for (const auto& entry : qc["files"]) {
        if (entry["result"] != "rendered") {
            EXPECT_EQ(entry["source"]["name"], "broken.wav");
            EXPECT_TRUE(entry["error"].is_string());
            continue;
        }
        const fs::path output = entry["output"]["path"].get<std::string>();
        EXPECT_EQ(entry["output"]["sha256"].get<std::string>().size(), 64u);
        EXPECT_EQ(entry["output"]["format"]["bitDepth"], 24);
        EXPECT_EQ(entry["channelsKept"], entry["source"]["format"]["channels"]);
        EXPECT_TRUE(entry["verdict"]["compliant"].get<bool>()) << entry["verdict"].dump();
        EXPECT_LE(entry["loudness"]["truePeak"].get<double>(), -1.0);
        EXPECT_EQ(entry["series"]["shortTerm"].size(), entry["series"]["truePeak"].size());
        // An independent meter agrees with the report.
        EXPECT_NEAR(ffmpegIntegrated(output), entry["loudness"]["integrated"].get<double>(), 0.2)
            << output;
        EXPECT_NEAR(entry["loudness"]["integrated"].get<double>(), -23, 0.5);
        ++checked;
    }
    EXPECT_EQ(checked, 3);

    // Again without --overwrite: nothing is replaced. With it, the files are rendered anew.
    const auto stamp = fs::last_write_time(out / "interview.wav");
    run = cli("render " + q(in / "interview.wav") + " -d " + q(out));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("already exists"), std::string::npos) << run.output;
    EXPECT_EQ(fs::last_write_time(out / "interview.wav"), stamp);
    run = cli("render " + q(in / "interview.wav") + " -d " + q(out) + " --overwrite --report " +
              q(dir / "qc.html"));
    EXPECT_EQ(run.status, 0) << run.output;
    const std::string page = test::readFile(dir / "qc.html");
    EXPECT_NE(page.find("<svg"), std::string::npos);
    EXPECT_NE(page.find("interview.wav"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("http://"), page.find("http://www.w3.org/2000/svg"));  // nothing fetched
}

TEST_F(DeliveryCommandTest, ABatchWithoutAStandardOrReportListsEachFileAsRendered) {
    const fs::path in = dir / "day";
    fs::create_directories(in);
    test::writeWave(in / "one.wav", programme(1, 1, -20), 48000, 24);
    test::writeWave(in / "two.wav", programme(2, 1, -20), 48000, 24);
    const auto run = cli("render " + q(in) + " -d " + q(dir / "out") + " -j 1");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("one.wav: rendered\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("two.wav: rendered\n"), std::string::npos) << run.output;
    EXPECT_TRUE(fs::exists(dir / "out" / "one.wav"));
    EXPECT_TRUE(fs::exists(dir / "out" / "two.wav"));
}

TEST_F(DeliveryCommandTest, ABatchNamesTheSourcesThatWereCutShort) {
    // Two seconds promised, one written: rendered as far as it goes, and the batch says so
    // under that file's line (a successful render's own output is otherwise not shown).
    const fs::path in = dir / "day";
    fs::create_directories(in);
    test::writeWave(in / "cut.wav", programme(1, 2, -20), 48000, 24);
    fs::resize_file(in / "cut.wav", fs::file_size(in / "cut.wav") - 48000 * 3);
    test::writeWave(in / "whole.wav", programme(1, 1, -20), 48000, 24);
    const auto run = cli("render " + q(in) + " -d " + q(dir / "out") + " -j 1");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(
        run.output.find("cut.wav: rendered\n      Warning: \u201ccut.wav\u201d is damaged: its "
                        "header promises 0:02.0 but only 0:01.0 is present; Corvaline "
                        "imports the part that is present.\n"),
        std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("whole.wav\u201d is damaged"), std::string::npos) << run.output;
    EXPECT_EQ(AudioIO::open(dir / "out" / "cut.wav")->length(), 48000);
}

TEST_F(DeliveryCommandTest, ComplianceIsJudgedWithTheStrictTruePeak) {
    // A programme near -23 LUFS with clicks that pass the -1 dBTP maximum.
    Planes planes = programme(2, 10, -21);
    for (auto& plane : planes) {
        for (size_t at = 48000; at < plane.size(); at += 96000)
            plane[at] = 0.97f;
    }
    const fs::path hot = dir / "hot.wav";
    test::writeWave(hot, planes);
    auto run = cli("loudness " + q(hot) + " --standard ebu-r128 --json");
    EXPECT_EQ(run.status, 3) << run.output;
    auto verdict = nlohmann::json::parse(run.output.substr(run.output.find('{')))["verdict"];
    EXPECT_FALSE(verdict["compliant"].get<bool>());
    EXPECT_NE(verdict["reason"].get<std::string>().find("true peak"), std::string::npos);

    // Rendered to the standard, the same file complies: the chain normalises and limits.
    const fs::path fixed = dir / "fixed.wav";
    run = cli("render " + q(hot) + " -o " + q(fixed) + " --standard ebu-r128 --preset Transparent");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("EBU R 128: compliant"), std::string::npos) << run.output;
    run = cli("loudness " + q(fixed) + " --standard ebu-r128");
    EXPECT_EQ(run.status, 0) << run.output;

    // A standard the render cannot reach is reported with exit status 3, and the file kept.
    const fs::path quiet = dir / "quiet.wav";
    run = cli("render " + q(hot) + " -o " + q(quiet) +
              " --standard streaming --set normalizationMaxBoost=0 --preset Transparent");
    if (run.status == 2) GTEST_SKIP() << "no maximum-gain setting: " << run.output;
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_TRUE(fs::exists(quiet));
    EXPECT_NE(run.output.find("not compliant: integrated loudness"), std::string::npos)
        << run.output;
}

TEST_F(DeliveryCommandTest, CtrlCStopsABatchCleanly) {
    const fs::path in = dir / "in";
    fs::create_directories(in);
    for (int i = 0; i < 4; ++i) {
        test::writeWave(in / ("take" + std::to_string(i) + ".wav"), programme(2, 90, -20));
    }
    const fs::path out = dir / "out";
    ProcessOptions options;
    options.executable = test::cliProgram();
    options.arguments = {"render", in.string(), "-d", out.string(), "-j", "1"};
    ChildProcess batch(options);
    // Interrupt once the first file is done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!fs::exists(out / "take0.wav") && batch.running() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(fs::exists(out / "take0.wav"));
    ::kill(batch.pid(), SIGINT);
    const ProcessResult result = batch.wait();
    if (fs::exists(out / "take3.wav")) GTEST_SKIP() << "the batch finished before the interrupt";
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 130);
    // Finished files stay; unfinished ones leave nothing, not even hidden working files.
    EXPECT_TRUE(fs::exists(out / "take0.wav"));
    EXPECT_EQ(hiddenFiles(out), std::vector<std::string>{});
    int rendered = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
        ++rendered;
        EXPECT_EQ(test::readWave(entry.path())[0].size(), size_t(90 * 48000)) << entry.path();
    }
    EXPECT_LT(rendered, 4);
}

}  // namespace
}  // namespace corvaline
