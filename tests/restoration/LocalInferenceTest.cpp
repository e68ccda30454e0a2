// LocalInference: pre-gain, padding, output contract, assembly, the runner's log and progress
// lines, and cancellation, with stand-in engines written by the tests.

#include "audiocore/restoration/LocalInference.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cmath>
#include <thread>

#include "../finishing/FinishingFixtures.hpp"
#include "EngineStandIns.hpp"
#include "RestorationTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/LoggedRun.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::entries;
using test::failureOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        result.push_back(text.substr(start, nl - start));
    return result;
}

class LocalInferenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The runner's logs go to the temporary folder; give this test its own.
        fs::create_directories(dir / "tmp");
        ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
        fs::create_directories(dir / "work");
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    fs::path work(const std::string& name) const { return dir / "work" / name; }
    InferenceConfiguration deepFilter(const std::string& body = "cp \"$in\" \"$out\"") const {
        return InferenceConfiguration(test::deepFilterStandIn(dir / "engine", body),
                                      dir / "DeepFilterNet3_onnx.tar.gz", std::nullopt, 24);
    }
    InferenceConfiguration bridge(bool reference,
                                  const std::string& body = "cp \"$in\" \"$out\"") const {
        const auto python = test::bridgeStandIn(dir / "runtime", body);
        if (reference)
            return InferenceConfiguration::sidonReference(python, dir / "SidonReference",
                                                          dir / "sidon_reference_bridge.py");
        return InferenceConfiguration(python, dir / "Models" / "955717e8-8726e21a.th",
                                      dir / "demucs_bridge.py", 0);
    }

    test::TempDir dir;
};

TEST_F(LocalInferenceTest, PreGainPaddingAndUnprocessedChannels) {
    // Channel 1 peaks at 0.5 (passed unchanged), channel 2 at 1.9 (divided by 2 for the engine
    // and multiplied back), channel 3 is not processed, channel 4 has no entry in the list.
    const size_t frames = 30000;
    test::Planes planes = test::generate(4, frames, test::sine(0.5, 440));
    for (auto& s : planes[1])
        s *= 3.8f;
    for (auto& s : planes[3])
        s *= 0.25f;
    const auto source = dir / "source.wav";
    test::writeWave(source, planes);
    std::vector<ChannelSettings> channels(3);
    channels[2].process = false;

    const auto destination = work("restored.wav");
    std::vector<double> progress;
    LocalInference::enhance(source, destination, channels, deepFilter(), SidonQuality::standard,
                            [&](double f) { progress.push_back(f); });

    // The engine saw half a second of appended silence and the pre-gained channel.
    const auto seen0 = test::readMono(dir / "engine" / "seen" / "channel-0.wav");
    const auto seen1 = test::readMono(dir / "engine" / "seen" / "channel-1.wav");
    ASSERT_EQ(seen0.size(), frames + 24000);
    EXPECT_TRUE(std::equal(planes[0].begin(), planes[0].end(), seen0.begin()));
    EXPECT_TRUE(
        std::all_of(seen0.begin() + long(frames), seen0.end(), [](float s) { return s == 0.0f; }));
    const double divisor = double(*std::max_element(planes[1].begin(), planes[1].end())) / 0.95;
    EXPECT_NEAR(divisor, 2.0, 1e-6);
    for (size_t i = 0; i < frames; i += 97)
        ASSERT_EQ(seen1[i], float(double(planes[1][i]) / divisor)) << i;
    EXPECT_FALSE(fs::exists(dir / "engine" / "seen" / "channel-2.wav"));
    EXPECT_TRUE(fs::exists(dir / "engine" / "seen" / "channel-3.wav"));

    const auto result = test::readWave(destination);
    ASSERT_EQ(result.size(), 4u);
    ASSERT_EQ(result[0].size(), frames);
    EXPECT_EQ(result[0], planes[0]);
    for (size_t i = 0; i < frames; ++i)
        ASSERT_NEAR(result[1][i], planes[1][i], 1e-6) << i;
    EXPECT_EQ(result[2], planes[2]);  // bit-identical
    EXPECT_EQ(result[3], planes[3]);
    EXPECT_THAT(progress, ElementsAre(1.0 / 3, 2.0 / 3, 1.0));
    // Only the destination is left; the temporary root is gone.
    EXPECT_THAT(entries(dir / "work"), ElementsAre("restored.wav"));

    // DeepFilterNet's command line: model, -D, the reduction, the output folder, the input.
    const auto arguments = lines(test::readFile(dir / "engine" / "arguments.txt"));
    ASSERT_EQ(arguments.size(), 8u);
    EXPECT_EQ(arguments[0], "-m");
    EXPECT_EQ(arguments[1], (dir / "DeepFilterNet3_onnx.tar.gz").string());
    EXPECT_THAT(std::vector<std::string>(arguments.begin() + 2, arguments.begin() + 5),
                ElementsAre("-D", "-a", "24"));
    EXPECT_EQ(arguments[5], "-o");
    EXPECT_EQ(fs::path(arguments[7]).filename(), "channel-3.wav");
    EXPECT_EQ(fs::path(arguments[6]).filename(), "out-3");
}

TEST_F(LocalInferenceTest, OutputContract) {
    const auto source = dir / "source.wav";
    test::writeWave(source, test::generate(1, 9600, test::sine(0.5, 440)));
    const std::vector<ChannelSettings> all(1);
    const std::string longer = "sox \"$in\" \"$out\" pad 0 1s";

    // The reference engine must return exactly the source length; HTDemucs may run over.
    EXPECT_EQ(failureOf([&] {
                  LocalInference::enhance(source, work("a.wav"), all, bridge(true, longer),
                                          SidonQuality::standard);
              }),
              LocalInference::incompatibleOutputMessage);
    LocalInference::enhance(source, work("b.wav"), all, bridge(false, longer),
                            SidonQuality::standard);
    EXPECT_EQ(test::readWave(work("b.wav"))[0].size(), 9600u);

    // Wrong rate, stereo, shortened, missing.
    for (const std::string body :
         {"sox \"$in\" -r 44100 \"$out\"", "sox \"$in\" \"$out\" remix 1 1",
          "sox \"$in\" \"$out\" trim 0 1000s"}) {
        EXPECT_EQ(failureOf([&] {
                      LocalInference::enhance(source, work("c.wav"), all, deepFilter(body),
                                              SidonQuality::standard);
                  }),
                  LocalInference::incompatibleOutputMessage)
            << body;
    }
    EXPECT_THROW(LocalInference::enhance(source, work("d.wav"), all, deepFilter("true"),
                                         SidonQuality::standard),
                 std::exception);
    EXPECT_THAT(entries(dir / "work"), ElementsAre("b.wav"));

    // The 1 Hz tolerance, checked where the file format cannot carry a fractional rate.
    EXPECT_TRUE(LocalInference::acceptsOutput(1, 48000.5, 100, 48000, 100, true));
    EXPECT_TRUE(LocalInference::acceptsOutput(1, 47999.01, 101, 48000, 100, false));
    EXPECT_FALSE(LocalInference::acceptsOutput(1, 48001, 100, 48000, 100, false));
    EXPECT_FALSE(LocalInference::acceptsOutput(1, 44100, 100, 48000, 100, false));
    EXPECT_FALSE(LocalInference::acceptsOutput(1, NAN, 100, 48000, 100, false));
    EXPECT_FALSE(LocalInference::acceptsOutput(2, 48000, 100, 48000, 100, false));
    EXPECT_FALSE(LocalInference::acceptsOutput(1, 48000, 101, 48000, 100, true));
    EXPECT_FALSE(LocalInference::acceptsOutput(1, 48000, 99, 48000, 100, false));
}

TEST_F(LocalInferenceTest, BridgeCommandLinesAndEnvironment) {
    const auto source = dir / "source.wav";
    test::writeWave(source, test::generate(1, 4800, test::sine(0.5, 440)));
    ::setenv("PYTHONPATH", "/somewhere", 1);
    ::setenv("PIP_INDEX_URL", "http://example.invalid", 1);
    const std::vector<ChannelSettings> all(1);

    LocalInference::enhance(source, work("demucs.wav"), all, bridge(false), SidonQuality::standard);
    auto arguments = lines(test::readFile(dir / "runtime" / "arguments.txt"));
    ASSERT_EQ(arguments.size(), 8u);
    EXPECT_EQ(arguments[0], "-I");
    EXPECT_EQ(arguments[1], (dir / "demucs_bridge.py").string());
    EXPECT_EQ(arguments[2], "--input");
    EXPECT_EQ(fs::path(arguments[3]).filename(), "channel-0.wav");
    EXPECT_EQ(arguments[4], "--output");
    EXPECT_EQ(fs::path(arguments[5]).filename(), "enhanced.wav");
    EXPECT_EQ(arguments[6], "--repo");
    EXPECT_EQ(arguments[7], (dir / "Models").string());  // the folder holding the checkpoint
    auto environment = test::readFile(dir / "runtime" / "environment.txt");
    EXPECT_THAT(environment, HasSubstr("PYTHONNOUSERSITE=1"));
    EXPECT_THAT(environment, ::testing::Not(HasSubstr("PYTHONPATH")));
    EXPECT_THAT(environment, ::testing::Not(HasSubstr("PIP_INDEX_URL")));
    EXPECT_THAT(environment, ::testing::Not(HasSubstr("HF_HUB_OFFLINE")));

    // The reference engine: its model folder, the offline variables and progress lines.
    std::vector<double> progress;
    const std::vector<ChannelSettings> two(2);
    const auto stereo = dir / "stereo.wav";
    test::writeWave(stereo, test::generate(2, 4800, test::sine(0.5, 440)));
    LocalInference::enhance(
        stereo, work("reference.wav"), two,
        bridge(true, "echo '{\"corvaline_progress\": 0.5}'; cp \"$in\" \"$out\""),
        SidonQuality::standard, [&](double f) { progress.push_back(f); });
    arguments = lines(test::readFile(dir / "runtime" / "arguments.txt"));
    ASSERT_EQ(arguments.size(), 8u);
    EXPECT_EQ(arguments[7], (dir / "SidonReference").string());
    environment = test::readFile(dir / "runtime" / "environment.txt");
    for (const char* name :
         {"HF_HUB_OFFLINE=1", "TRANSFORMERS_OFFLINE=1", "HF_HUB_DISABLE_TELEMETRY=1"})
        EXPECT_THAT(environment, HasSubstr(name));
    // The engine's line for channel 1, then each channel's completion (a second line within
    // the same tenth of a second may be held back).
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), 0.25);
    EXPECT_THAT(progress, ::testing::Contains(0.5));
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 1.0);
}

TEST_F(LocalInferenceTest, NothingProcessedCopiesWithoutAnEngine) {
    const auto source = dir / "source.wav";
    test::Planes planes = test::generate(2, 5000, test::sine(0.9, 300));
    test::writeWave(source, planes, 44100, 24);
    const std::vector<ChannelSettings> none(2, ChannelSettings{false, false, false});
    const InferenceConfiguration missing(dir / "no-such-program", dir / "model", std::nullopt, 0);
    LocalInference::enhance(source, work("copy.wav"), none, missing, SidonQuality::standard);
    const auto file = AudioIO::open(work("copy.wav"));
    EXPECT_EQ(file->fileBitDepth(), 32);
    EXPECT_EQ(file->sampleRate(), 44100);
    EXPECT_EQ(test::readWave(work("copy.wav")), test::readWave(source));

    // A configuration with neither a program nor the in-process engine has no runtime.
    InferenceConfiguration broken;
    broken.isSidonReference = true;
    EXPECT_EQ(failureOf([&] {
                  LocalInference::enhance(source, work("x.wav"), {}, broken,
                                          SidonQuality::standard);
              }),
              LocalInference::noRuntimeMessage);
    EXPECT_THAT(entries(dir / "work"), ElementsAre("copy.wav"));
}

TEST_F(LocalInferenceTest, RunnerLogTailAndProgressLines) {
    const auto program = dir / "engine.sh";
    test::writeFile(program,
                    "#!/bin/sh\n"
                    "awk 'BEGIN { for (i = 0; i < 10000; i++) printf \"%c\", 97 + i % 26 }'\n"
                    "exit 2\n",
                    true);
    std::string expected;
    for (int i = 6000; i < 10000; ++i)
        expected.push_back(char(97 + i % 26));
    EXPECT_EQ(failureOf([&] { LocalInference::run(program, {}); }),
              "Local runtime failed (2).\n" + expected);

    test::writeFile(program,
                    "#!/bin/sh\n"
                    "echo '{\"corvaline_progress\": 0.25}'\n"
                    "echo 'not json'\n"
                    "echo '{\"corvaline_progress\": 1.5}'\n"
                    "echo '{\"corvaline_progress\": \"0.3\"}'\n"
                    "echo '{\"other\": 0.3}'\n"
                    "echo '[0.4]'\n"
                    "printf '{\"corvaline_progress\": '; sleep 0.2; echo '0.5}'\n"
                    "echo '{\"corvaline_progress\": 1e999}'\n"
                    "printf '\\377\\376 {\"corvaline_progress\": 0.6}\\n'\n"
                    "printf '{\"corvaline_progress\": 0.75}'\n",
                    true);
    std::vector<double> progress;
    LocalInference::run(program, {}, std::nullopt, [&](double f) { progress.push_back(f); });
    EXPECT_THAT(progress, ElementsAre(0.25, 0.5));

    // Arguments and a replaced environment reach the program; a failing start is an error.
    test::writeFile(program, "#!/bin/sh\n[ \"$1 $2\" = \"a b c\" ] && [ \"$ONLY\" = yes ]\n", true);
    LocalInference::run(program, {"a", "b c"}, Environment{{"ONLY", "yes"}});
    EXPECT_THAT(failureOf([&] {
                    LocalInference::run(program, {"a", "b"});
                }),
                HasSubstr("Local runtime failed (1)."));
    EXPECT_THROW(LocalInference::run(dir / "missing", {}), std::system_error);
    // No log file outlives a run.
    EXPECT_TRUE(entries(dir / "tmp").empty());
}

TEST_F(LocalInferenceTest, CancellationStopsTheEngineAndLeavesNothing) {
    const auto source = dir / "source.wav";
    test::writeWave(source, test::generate(2, 48000, test::sine(0.5, 440)));
    const auto pidFile = dir / "engine.pid";
    const auto configuration =
        deepFilter("echo $$ > " + test::shellQuote(pidFile.string()) + "; exec sleep 30");
    std::stop_source stop;
    std::thread canceller([&] {
        for (int i = 0; i < 400 && !fs::exists(pidFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(LocalInference::enhance(source, work("out.wav"), {}, configuration,
                                         SidonQuality::standard, {}, stop.get_token()),
                 Cancelled);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    const pid_t pid = std::stoi(test::readFile(pidFile));
    EXPECT_NE(::kill(pid, 0), 0);                // the engine is gone
    EXPECT_TRUE(entries(dir / "work").empty());  // no temporary root, no destination
    EXPECT_TRUE(entries(dir / "tmp").empty());   // no log file
}

TEST_F(LocalInferenceTest, ProgressLinesFromAHostileEngine) {
    EXPECT_EQ(progressLineValue(R"({"corvaline_progress": 1})"), 1.0);
    EXPECT_EQ(progressLineValue(R"(  {"other": [1, 2], "corvaline_progress": 0.3}  )"), 0.3);
    for (const std::string line :
         {R"({"corvaline_progress": true})", R"({"corvaline_progress": null})",
          R"({"corvaline_progress": -0.01})", R"({"corvaline_progress": 1e308})",
          R"({"corvaline_progress": 0.3} and more)", R"({"corvaline_progress": NaN})", "{}", "",
          "\xff\xfe", R"({"corvaline_progress": {"corvaline_progress": 0.5}})"}) {
        EXPECT_EQ(progressLineValue(line), std::nullopt) << line;
    }
    // Deep nesting costs time in proportion to the line, never stack.
    EXPECT_EQ(progressLineValue(std::string(200000, '[')), std::nullopt);
    EXPECT_EQ(progressLineValue(std::string(100000, '[') + std::string(100000, ']')), std::nullopt);
}

TEST_F(LocalInferenceTest, ChannelPeakAndReductionText) {
    const auto file = dir / "peaks.wav";
    test::writeWave(file, {{0.1f, -0.7f, NAN, 0.2f}, {0.0f, 0.0f, 0.0f, 0.0f}});
    auto reader = AudioIO::open(file);
    EXPECT_EQ(LocalInference::channelPeak(*reader, 0), 0.7f);
    EXPECT_EQ(LocalInference::channelPeak(*reader, 1), 0.0f);
    EXPECT_EQ(LocalInference::reductionText(24), "24");
    EXPECT_EQ(LocalInference::reductionText(12.5), "12.5");
    EXPECT_EQ(LocalInference::reductionText(0.1), "0.1");
    EXPECT_EQ(LocalInference::reductionText(1.0 / 3), "0.3333333333333333");
}

}  // namespace
}  // namespace corvaline
