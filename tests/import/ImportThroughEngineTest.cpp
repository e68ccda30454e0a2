// Recordings imported from a video and from an MXF go through the rest of the engine like a
// WAV: analysis, a neutral render to a WAV, and the live monitor stream. Each movie carries a
// tone burst starting at a known frame on one channel; it must arrive exactly there.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ImportFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

constexpr int kRate = 48000;
constexpr int64_t kFrames = 2 * kRate;
constexpr double kBurst = 0.5;

/// A 1 kHz burst of amplitude 0.5 starting (at its peak) on frame `at` and lasting 0.1 s.
std::string burst(int64_t at) {
    const std::string n = std::to_string(at);
    return "if(between(n," + n + "," + std::to_string(at + 4799) + "),0.5*cos(2*PI*1000*(n-" + n +
           ")/48000),0)";
}

/// A lavfi input of `expressions` (one per channel, '|' separated), 2 s at 48 kHz.
std::vector<std::string> source(const std::string& expressions) {
    return {"-f", "lavfi", "-i", "aevalsrc='" + expressions + "':s=48000:d=2"};
}

/// First frame whose magnitude exceeds 1e-3, or -1.
int64_t onset(const std::vector<float>& samples) {
    for (size_t i = 0; i < samples.size(); ++i)
        if (std::fabs(samples[i]) > 1e-3f) return int64_t(i);
    return -1;
}

/// Checks that the imported recording behaves like any WAV: its file analyses to the same
/// shape, a neutral render reproduces it sample for sample with the burst on `channel` at
/// `frame`, and the monitor streams it block by block with the burst at the same frame.
void playsThroughTheEngine(const AudioInfo& imported, int channels, int channel, int64_t frame) {
    SCOPED_TRACE(imported.sourceURL.filename().string());
    const auto original = test::readChannels(imported.url);
    ASSERT_EQ(int(original.size()), channels);
    ASSERT_EQ(onset(original[size_t(channel)]), frame);

    // (a) analysis of the extracted file
    const AudioInfo analysed = AudioIO::analyze(imported.url);
    EXPECT_EQ(analysed.sampleRate, kRate);
    EXPECT_EQ(analysed.frameCount, kFrames);
    ASSERT_EQ(analysed.channelCount(), channels);
    EXPECT_NEAR(analysed.channels[size_t(channel)].peak, kBurst, 1e-4);

    // (b) a neutral render to a 24-bit WAV keeps every channel and every frame in place
    test::TempDir out;
    const fs::path wav = out / "render.wav";
    AudioDSP::render(imported.url, wav, ProcessingSettings::bypass(),
                     std::vector<ChannelSettings>(size_t(channels)), 24);
    const AudioInfo rendered = AudioIO::analyze(wav);
    EXPECT_EQ(rendered.sampleRate, kRate);
    ASSERT_EQ(rendered.frameCount, kFrames);
    ASSERT_EQ(rendered.channelCount(), channels);
    const auto render = test::readChannels(wav);
    for (int c = 0; c < channels; ++c) {
        double worst = 0;
        for (size_t i = 0; i < size_t(kFrames); ++i)
            worst =
                std::max(worst, double(std::fabs(render[size_t(c)][i] - original[size_t(c)][i])));
        EXPECT_LT(worst, 1e-6) << "channel " << c;
    }
    EXPECT_EQ(onset(render[size_t(channel)]), frame);
    EXPECT_NEAR(render[size_t(channel)][size_t(frame)], kBurst, 1e-5);

    // (c) the monitor streams it: soloing the burst's channel plays it on both sides
    std::vector<ChannelSettings> states(static_cast<size_t>(channels));
    states[size_t(channel)].solo = true;
    const MonitorPlan plan{.source = imported.url,
                           .settings = ProcessingSettings::bypass(),
                           .channels = states,
                           .reference = imported.url};
    auto stream = plan.makeStream();
    ASSERT_EQ(stream->length(), kFrames);
    EXPECT_EQ(stream->format().sampleRate, kRate);
    std::vector<float> left, right;
    int blocks = 0;
    double burstMeter = kMeterFloorDB;
    while (auto block = stream->next(1024)) {
        ++blocks;
        ASSERT_EQ(int(block->channels.size()), channels);
        burstMeter = std::max(burstMeter, block->channels[size_t(channel)]);
        left.insert(left.end(), block->audio.channel(0),
                    block->audio.channel(0) + block->audio.frameLength());
        right.insert(right.end(), block->audio.channel(1),
                     block->audio.channel(1) + block->audio.frameLength());
    }
    EXPECT_TRUE(stream->exhausted());
    EXPECT_GE(blocks, int(kFrames / 1024));
    ASSERT_EQ(int64_t(left.size()), kFrames);
    EXPECT_EQ(onset(left), frame);
    EXPECT_EQ(left, right);
    EXPECT_NEAR(left[size_t(frame)], kBurst, 1e-5);
    EXPECT_NEAR(burstMeter, 20 * std::log10(kBurst), 0.01);
}

}  // namespace

TEST(ImportThroughEngine, VideoSoundtrack) {
    // Picture first, then two stereo tracks: a steady tone on track 1's left channel and the
    // burst on track 2's right channel (recording channel 4). The upper-case extension must
    // still be taken for a movie.
    test::TempDir dir;
    const fs::path movie = dir / "TAKE_012.MOV";
    constexpr int64_t at = 30011;
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=c=black:s=64x64:r=25:d=2"};
    for (const auto& a : source("0.1*sin(2*PI*300*t)|0"))
        args.push_back(a);
    for (const auto& a : source("0|" + burst(at)))
        args.push_back(a);
    args.insert(args.end(), {"-map", "0", "-map", "1", "-map", "2", "-c:v", "mpeg4", "-c:a",
                             "pcm_s24le", movie.string()});
    test::ffmpeg(args);

    test::TempDir workspace;
    const AudioInfo info = MediaImport::read(movie, workspace.path());
    ASSERT_TRUE(info.isVideo());
    ASSERT_EQ(info.channelCount(), 4);
    EXPECT_EQ(info.channels[3].name, "Track 2 / Channel 2");
    playsThroughTheEngine(info, 4, 3, at);
}

TEST(ImportThroughEngine, MXFCameraAudio) {
    // Four mono 24-bit streams; the burst on the third.
    test::TempDir dir;
    const fs::path mxf = dir / "A002C007.mxf";
    constexpr int64_t at = 61237;
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=c=black:s=320x240:r=25:d=2"};
    for (const std::string& expression : {std::string("0.1*sin(2*PI*300*t)"), std::string("0"),
                                          burst(at), std::string("0.2*sin(2*PI*700*t)")})
        for (const auto& a : source(expression))
            args.push_back(a);
    for (int i = 0; i < 5; ++i)
        args.insert(args.end(), {"-map", std::to_string(i)});
    args.insert(args.end(), {"-c:v", "mpeg2video", "-c:a", "pcm_s24le", "-f", "mxf", mxf.string()});
    test::ffmpeg(args);

    test::TempDir workspace;
    const AudioInfo info = MediaImport::read(mxf, workspace.path());
    ASSERT_TRUE(info.isVideo());
    ASSERT_EQ(info.channelCount(), 4);
    EXPECT_EQ(info.channels[2].name, "Track 3 / Channel 1");
    playsThroughTheEngine(info, 4, 2, at);
}
