// MXF import: the real helper programs on a real file, and stand-in helpers (shell scripts
// written here) for every answer a probe or decoder can give.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stop_token>
#include <thread>

#include "ImportFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/import/MXFImport.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

const std::string kExtractFailure =
    "Could not extract MXF audio. The file may be damaged or incomplete.\n";

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const AudioFailure& e) {
        return e.message();
    }
    return "(no failure)";
}

std::string probeJSON(const std::string& streams, const std::string& duration = "\"2.000000\"") {
    return "{\"streams\": [" + streams + "], \"format\": {\"duration\": " + duration + "}}";
}

std::string pcmStream(int index, const std::string& rate = "48000", int channels = 1,
                      const std::string& codec = "pcm_s24le") {
    return "{\"index\": " + std::to_string(index) + ", \"codec_name\": \"" + codec +
           "\", \"sample_rate\": \"" + rate + "\", \"channels\": " + std::to_string(channels) + "}";
}

/// A folder of stand-in helpers. The probe prints probe.json; the decoder copies
/// stream-<n>.caf to the n-th ".caf" path of its arguments. Both record their arguments and
/// LC_ALL next to themselves.
class StandIns {
  public:
    StandIns() {
        writeProbe("cat '" + (dir / "probe.json").string() + "'");
        writeDecoder(
            "echo out_time_us=1000000\necho out_time_us=N/A\necho progress=end\n"
            "n=0\nfor a in \"$@\"; do case \"$a\" in *.caf) n=$((n+1)); cp '" +
            dir.path().string() + "'/stream-$n.caf \"$a\" || exit 1;; esac; done");
    }
    void writeProbe(const std::string& body) { write("ffprobe", body); }
    void writeDecoder(const std::string& body) { write("ffmpeg", body); }
    void probe(const std::string& json) { test::writeFile(dir / "probe.json", json); }
    /// A decoded stream file: `frames` frames of 0.25 at `rate`.
    void stream(int n, double rate, int channels, uint32_t frames) {
        auto writer =
            AudioIO::writer(dir / ("stream-" + std::to_string(n) + ".caf"), rate, channels, 32);
        AudioBuffer buffer(channels, std::max<uint32_t>(frames, 1));
        for (int c = 0; c < channels; ++c)
            std::fill_n(buffer.channel(c), frames, 0.25f);
        buffer.setFrameLength(frames);
        writer->write(buffer);
        writer->close();
    }
    std::vector<std::string> arguments(const std::string& program) const {
        std::vector<std::string> lines;
        std::istringstream in(test::readFile(dir / (program + "-args")));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string environment(const std::string& program) const {
        return test::readFile(dir / (program + "-env"));
    }

    test::TempDir dir;

  private:
    void write(const std::string& name, const std::string& body) {
        test::writeFile(dir / name,
                        "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (dir / (name + "-args")).string() +
                            "'\necho \"$LC_ALL\" > '" + (dir / (name + "-env")).string() + "'\n" +
                            body + "\n",
                        true);
    }
};

}  // namespace

TEST(MXFImport, RealCameraFileWithFourMonoStreams) {
    test::TempDir dir;
    const fs::path mxf = dir / "A001C002.MXF";
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=c=black:s=320x240:r=25:d=2"};
    for (int t = 0; t < 4; ++t)
        for (const auto& a : test::sine(0.1 * (t + 1), 440, 48000, 2))
            args.push_back(a);
    for (int i = 0; i < 5; ++i)
        args.insert(args.end(), {"-map", std::to_string(i)});
    args.insert(args.end(), {"-c:v", "mpeg2video", "-c:a", "pcm_s24le", "-f", "mxf", mxf.string()});
    test::ffmpeg(args);

    test::TempDir workspace;
    std::vector<double> reports;
    const AudioInfo info =
        MediaImport::read(mxf, workspace.path(), [&](double f) { reports.push_back(f); });
    ASSERT_EQ(info.channelCount(), 4);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(info.channels[size_t(t)].name, "Track " + std::to_string(t + 1) + " / Channel 1");
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.frameCount, 96000);
    EXPECT_EQ(info.sourceURL, mxf);
    EXPECT_EQ(test::listFolder(info.url.parent_path()), std::vector<std::string>{"Audio.caf"});
    EXPECT_EQ(reports.back(), 1.0);

    const auto ch = test::readChannels(info.url);
    for (int t = 0; t < 4; ++t)
        for (int n = 0; n < 96000; n += 11)
            ASSERT_NEAR(ch[size_t(t)][size_t(n)],
                        0.1 * (t + 1) * std::sin(2 * std::numbers::pi * 440 * n / 48000.0), 1e-5)
                << t << " " << n;
}

TEST(MXFImport, ProbeOutputIsDecodedStrictly) {
    const auto probe = MXFImport::Probe::decode(
        "{\"programs\": [], \"streams\": [{\"index\": 3, \"codec_name\": \"pcm_s16le\", "
        "\"sample_rate\": \"48000\", \"channels\": 2, \"extra\": 1}, {\"index\": 4, "
        "\"codec_name\": null}], \"format\": {}}");
    ASSERT_EQ(probe.streams.size(), 2u);
    EXPECT_EQ(probe.streams[0].index, 3);
    EXPECT_EQ(probe.streams[0].codecName, "pcm_s16le");
    EXPECT_EQ(probe.streams[0].sampleRate, "48000");
    EXPECT_EQ(probe.streams[0].channels, 2);
    EXPECT_FALSE(probe.streams[1].codecName);
    EXPECT_FALSE(probe.streams[1].channels);
    EXPECT_FALSE(probe.format.duration);

    // Not JSON, a missing required key, a value of the wrong type.
    for (const char* text :
         {"garbage", "{\"format\": {}}", "{\"streams\": [{}], \"format\": {}}",
          "{\"streams\": [{\"index\": 1, \"sample_rate\": 48000}], \"format\": {}}"})
        EXPECT_EQ(failureOf([&] { MXFImport::Probe::decode(text); }),
                  "Could not read the MXF's audio track information.")
            << text;
}

TEST(MXFImport, ProbeValidation) {
    auto check = [](const std::string& json) {
        return failureOf([&] { MXFImport::Probe::decode(json).validated(); });
    };
    const auto ok = MXFImport::Probe::decode(
                        probeJSON(pcmStream(1, "48000", 64) + "," + pcmStream(2, "48000", 64)))
                        .validated();
    EXPECT_EQ(ok.rate, 48000);
    EXPECT_EQ(ok.counts, (std::vector<int>{64, 64}));
    EXPECT_EQ(ok.frames, 96000);

    EXPECT_EQ(check(probeJSON("")), "This MXF has no audio track.");
    const std::string tail =
        "MXF import supports uncompressed PCM camera audio. Export a PCM WAV from your editor "
        "for other codecs.";
    EXPECT_EQ(check(probeJSON(pcmStream(1, "48000", 2, "aac"))),
              "This MXF uses unsupported audio (aac). " + tail);
    EXPECT_EQ(check(probeJSON("{\"index\": 1, \"sample_rate\": \"48000\", \"channels\": 1}")),
              "This MXF uses unsupported audio (unknown codec). " + tail);
    const std::string invalid = "The MXF has an invalid audio format.";
    EXPECT_EQ(check(probeJSON(pcmStream(1, "7999"))), invalid);
    EXPECT_EQ(check(probeJSON(pcmStream(1, "nan"))), invalid);
    EXPECT_EQ(check(probeJSON(pcmStream(1, "48000", 0))), invalid);
    EXPECT_EQ(check(probeJSON("{\"index\": 1, \"codec_name\": \"pcm_s16le\", \"sample_rate\": "
                              "\"48000\"}")),
              invalid);
    EXPECT_EQ(check(probeJSON(pcmStream(1, "48000", 65) + "," + pcmStream(2, "48000", 64))),
              "MXF import supports up to 128 audio channels.");
    EXPECT_EQ(check(probeJSON(pcmStream(1, "48000") + "," + pcmStream(2, "44100"))),
              "MXF audio tracks must use the same sample rate.");
    const std::string duration = "The MXF has an invalid or unknown duration.";
    EXPECT_EQ(check(probeJSON(pcmStream(1), "\"N/A\"")), duration);
    EXPECT_EQ(check(probeJSON(pcmStream(1), "\"1e14\"")), duration);
    // Shorter than half a sample: no frames at all (progress would divide by zero).
    EXPECT_EQ(check(probeJSON(pcmStream(1), "\"0.00001\"")), duration);
    EXPECT_EQ(check(probeJSON(pcmStream(1), "\"0.00002\"")), "(no failure)");
}

TEST(MXFImport, HelpersMustBePresentAndExecutable) {
    test::TempDir helpers;
    const std::string missing =
        "The bundled MXF decoder is missing. Please reinstall Kestrio Corvaline.";
    EXPECT_EQ(failureOf([&] { MXFImport::helper("ffprobe", helpers.path()); }), missing);
    test::writeFile(helpers / "ffprobe", "#!/bin/sh\n", false);
    EXPECT_EQ(failureOf([&] { MXFImport::helper("ffprobe", helpers.path()); }), missing);
    fs::create_directory(helpers / "ffmpeg");
    EXPECT_EQ(failureOf([&] { MXFImport::helper("ffmpeg", helpers.path()); }), missing);
    fs::permissions(helpers / "ffprobe", fs::perms::owner_exec, fs::perm_options::add);
    EXPECT_EQ(MXFImport::helper("ffprobe", helpers.path()), helpers / "ffprobe");
    // The build places both programs beside the test executable.
    EXPECT_NO_THROW(MXFImport::helper("ffprobe"));
    EXPECT_NO_THROW(MXFImport::helper("ffmpeg"));

    test::TempDir folder;
    EXPECT_EQ(failureOf([&] { MXFImport::read("/x/a.mxf", folder.path(), {}, {}, folder.path()); }),
              missing);
}

TEST(MXFImport, StandInsSeeTheExactCommandLines) {
    StandIns helpers;
    helpers.probe(probeJSON(pcmStream(1, "48000", 2) + "," + pcmStream(3, "48000", 1)));
    helpers.stream(1, 48000, 2, 96000);
    helpers.stream(2, 48000, 1, 90000);
    test::TempDir folder;
    std::vector<double> reports;
    const AudioInfo info = MXFImport::read(
        "/media/card/clip.mxf", folder.path(), [&](double f) { reports.push_back(f); }, {},
        helpers.dir.path());

    EXPECT_EQ(helpers.arguments("ffprobe"),
              (std::vector<std::string>{
                  "-v", "error", "-protocol_whitelist", "file", "-f", "mxf", "-select_streams", "a",
                  "-show_entries", "format=duration:stream=index,codec_name,sample_rate,channels",
                  "-of", "json", "/media/card/clip.mxf"}));
    const std::string t1 = (folder / "Track-1.caf").string(),
                      t2 = (folder / "Track-2.caf").string();
    EXPECT_EQ(helpers.arguments("ffmpeg"),
              (std::vector<std::string>{"-hide_banner",
                                        "-loglevel",
                                        "error",
                                        "-nostdin",
                                        "-n",
                                        "-xerror",
                                        "-progress",
                                        "pipe:1",
                                        "-nostats",
                                        "-copyts",
                                        "-start_at_zero",
                                        "-protocol_whitelist",
                                        "file",
                                        "-f",
                                        "mxf",
                                        "-i",
                                        "/media/card/clip.mxf",
                                        "-map",
                                        "0:1",
                                        "-map_metadata",
                                        "-1",
                                        "-vn",
                                        "-sn",
                                        "-dn",
                                        "-af",
                                        "aresample=async=1:first_pts=0",
                                        "-c:a",
                                        "pcm_f32le",
                                        "-f",
                                        "caf",
                                        t1,
                                        "-map",
                                        "0:3",
                                        "-map_metadata",
                                        "-1",
                                        "-vn",
                                        "-sn",
                                        "-dn",
                                        "-af",
                                        "aresample=async=1:first_pts=0",
                                        "-c:a",
                                        "pcm_f32le",
                                        "-f",
                                        "caf",
                                        t2}));
    EXPECT_EQ(helpers.environment("ffprobe"), "C\n");
    EXPECT_EQ(helpers.environment("ffmpeg"), "C\n");

    ASSERT_EQ(info.channelCount(), 3);
    EXPECT_EQ(info.channels[2].name, "Track 2 / Channel 1");
    EXPECT_EQ(info.frameCount, 96000);
    EXPECT_EQ(test::listFolder(folder.path()), std::vector<std::string>{"Audio.caf"});
    // out_time_us=1000000 of a 2 s decode is half way through the decoding share.
    EXPECT_NE(std::find(reports.begin(), reports.end(), 0.65 * 0.5), reports.end());
    EXPECT_EQ(reports.back(), 0.95);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i], reports[i - 1]);
}

TEST(MXFImport, DecodedStreamsAreChecked) {
    auto importWith = [](double rate, int channels, uint32_t frames) {
        StandIns helpers;
        helpers.probe(probeJSON(pcmStream(1, "48000", 2)));
        helpers.stream(1, rate, channels, frames);
        test::TempDir folder;
        return failureOf(
            [&] { MXFImport::read("/x/a.mxf", folder.path(), {}, {}, helpers.dir.path()); });
    };
    const std::string invalid = "The MXF decoder returned invalid audio or timing.";
    EXPECT_EQ(importWith(48000, 2, 96000 + 48000), "(no failure)");  // one second over
    EXPECT_EQ(importWith(48000, 2, 96000 + 48001), invalid);
    EXPECT_EQ(importWith(48000, 2, 1), "(no failure)");
    EXPECT_EQ(importWith(48000, 2, 0), invalid);
    EXPECT_EQ(importWith(44100, 2, 96000), invalid);
    EXPECT_EQ(importWith(48000, 1, 96000), invalid);
}

TEST(MXFImport, ProbeAnswersThatAreRefused) {
    StandIns helpers;
    test::TempDir folder;
    auto read = [&] {
        return failureOf(
            [&] { MXFImport::read("/x/a.mxf", folder.path(), {}, {}, helpers.dir.path()); });
    };
    helpers.probe("ffprobe version N-1\nnot json at all\n");
    EXPECT_EQ(read(), "Could not read the MXF's audio track information.");

    // Valid JSON padded past 1 MiB.
    helpers.probe(probeJSON(pcmStream(1)) + std::string(1048577, ' '));
    EXPECT_EQ(read(), "The MXF has too many audio track descriptors.");

    // A probe that never stops printing is stopped as soon as it passes the limit.
    helpers.writeProbe("while :; do echo '{\"streams\": [], \"format\": {}}'; done");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(), "The MXF has too many audio track descriptors.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    // Too little space for 128 channels of a ten-million-hour recording.
    helpers.writeProbe("cat '" + (helpers.dir / "probe.json").string() + "'");
    helpers.probe(probeJSON(pcmStream(1, "48000", 128), "\"36000000000\""));
    EXPECT_EQ(read(), "Not enough free disk space to extract this MXF's audio.");
    EXPECT_TRUE(test::listFolder(folder.path()).empty());
}

TEST(MXFImport, DecoderFailureQuotesTheEndOfItsErrorOutput) {
    StandIns helpers;
    helpers.probe(probeJSON(pcmStream(1)));
    helpers.writeDecoder(
        "i=0; while [ $i -lt 100 ]; do printf 'early line %04d padding padding padding padding "
        "padding\\n' $i >&2; i=$((i+1)); done\necho 'Error: last words' >&2\nexit 3");
    test::TempDir folder;
    const std::string message =
        failureOf([&] { MXFImport::read("/x/a.mxf", folder.path(), {}, {}, helpers.dir.path()); });
    ASSERT_EQ(message.rfind(kExtractFailure, 0), 0u) << message;
    const std::string tail = message.substr(kExtractFailure.size());
    EXPECT_EQ(tail.size(), 3000u);
    EXPECT_EQ(tail.substr(tail.size() - 18), "Error: last words\n");
    EXPECT_TRUE(test::listFolder(folder.path()).empty()) << "the text files are removed";

    // Component addresses in the decoder's lines are dropped; the rest stays.
    helpers.writeDecoder(
        "echo '[mxf @ 0x55d0c1a2b3c0] missing index' >&2; echo '[aist#0:1/pcm_s24le "
        "@ 0x5581] error' >&2; exit 1");
    EXPECT_EQ(
        failureOf([&] { MXFImport::read("/x/a.mxf", folder.path(), {}, {}, helpers.dir.path()); }),
        kExtractFailure + "[mxf] missing index\n[aist#0:1/pcm_s24le] error\n");

    // A decoder killed by a signal fails the same way.
    helpers.writeDecoder("echo 'Killed' >&2; kill -9 $$");
    EXPECT_EQ(
        failureOf([&] { MXFImport::read("/x/a.mxf", folder.path(), {}, {}, helpers.dir.path()); }),
        kExtractFailure + "Killed\n");
}

TEST(MXFImport, CancellingTheDecoderStopsItAndRemovesTheImport) {
    StandIns helpers;
    helpers.probe(probeJSON(pcmStream(1)));
    // A decoder that ignores SIGTERM must be killed after the 2 s grace.
    helpers.writeDecoder("trap '' TERM\necho $$ > '" + (helpers.dir / "pid").string() +
                         "'\nwhile :; do echo out_time_us=1; sleep 0.05; done");
    test::TempDir dir;
    const fs::path mxf = dir / "clip.mxf";
    test::writeFile(mxf, "not read by the stand-ins");
    test::TempDir workspace;
    std::stop_source stop;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(MediaImport::read(mxf, workspace.path(), {}, stop.get_token(), helpers.dir.path()),
                 Cancelled);
    canceller.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 4.0);
    EXPECT_GE(seconds, 2.3);
    EXPECT_TRUE(test::listFolder(workspace.path()).empty());
    const int pid = std::stoi(test::readFile(helpers.dir / "pid"));
    // Gone, or a zombie waiting for its new parent to reap it.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (std::getline(stat, line)) {
        EXPECT_NE(line.find(") Z"), std::string::npos) << line;
    }
}
