// Video import of real files made with the ffmpeg program.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stop_token>

#include "ImportFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

double sineAt(double amplitude, double frequency, double seconds) {
    return amplitude * std::sin(2 * std::numbers::pi * frequency * seconds);
}

double rms(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x)
        sum += double(v) * v;
    return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

void expectFailure(const fs::path& file, const fs::path& workspace, const std::string& message) {
    try {
        MediaImport::read(file, workspace);
        ADD_FAILURE() << "expected: " << message;
    } catch (const AudioFailure& e) {
        // Every refusal names the file first.
        EXPECT_EQ(e.message(),
                  "Could not import \u201C" + file.filename().string() + "\u201D. " + message);
    }
    EXPECT_TRUE(test::listFolder(workspace).empty()) << "the import folder must be removed";
}

}  // namespace

TEST(VideoImport, TracksAtTwoRatesLandOnTheMovieTimeline) {
    test::TempDir dir;
    const fs::path movie = dir / "scene.mov";
    // Track 1: stereo 48 kHz for the whole 3 s; track 2: mono 44.1 kHz starting at 2 s;
    // track 3: mono 48 kHz ending after 1 s.
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=c=black:s=64x64:r=25:d=3"};
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "aevalsrc=0.5*sin(2*PI*440*t)|0.3*sin(2*PI*440*t):s=48000:d=3",
                             "-itsoffset", "2"});
    for (const auto& a : test::sine(0.25, 1000, 44100, 1))
        args.push_back(a);
    for (const auto& a : test::sine(0.4, 300, 48000, 1))
        args.push_back(a);
    args.insert(args.end(), {"-map", "0", "-map", "1", "-map", "2", "-map", "3", "-c:v", "mpeg4",
                             "-c:a", "pcm_s16le", movie.string()});
    test::ffmpeg(args);

    test::TempDir workspace;
    std::vector<double> reports;
    const AudioInfo info =
        MediaImport::read(movie, workspace.path(), [&](double f) { reports.push_back(f); });

    ASSERT_EQ(info.channelCount(), 4);
    EXPECT_EQ(info.channels[0].name, "Track 1 / Channel 1");
    EXPECT_EQ(info.channels[1].name, "Track 1 / Channel 2");
    EXPECT_EQ(info.channels[2].name, "Track 2 / Channel 1");
    EXPECT_EQ(info.channels[3].name, "Track 3 / Channel 1");
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.frameCount, 144000);
    EXPECT_EQ(info.bitDepth, 32);
    EXPECT_EQ(info.sourceURL, movie);
    EXPECT_EQ(info.url.filename(), "Audio.caf");
    EXPECT_TRUE(info.isVideo());
    const auto folders = test::listFolder(workspace.path());
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0].rfind("Video-", 0), 0u);
    EXPECT_EQ(info.url.parent_path(), workspace / folders[0]);
    EXPECT_EQ(test::listFolder(workspace / folders[0]), std::vector<std::string>{"Audio.caf"});

    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 1.0);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i], reports[i - 1]);

    const auto ch = test::readChannels(info.url);
    ASSERT_EQ(ch.size(), 4u);
    for (int n = 0; n < 144000; n += 7) {
        ASSERT_NEAR(ch[0][size_t(n)], sineAt(0.5, 440, n / 48000.0), 1e-4) << n;
        ASSERT_NEAR(ch[1][size_t(n)], sineAt(0.3, 440, n / 48000.0), 1e-4) << n;
    }
    // The converted late track: silent for its first two seconds, then the sine in phase.
    for (int n = 0; n < 95500; ++n)
        ASSERT_LT(std::fabs(ch[2][size_t(n)]), 1e-3) << n;
    for (int n = 97000; n < 143000; n += 5)
        ASSERT_NEAR(ch[2][size_t(n)], sineAt(0.25, 1000, n / 48000.0 - 2.0), 2e-3) << n;
    // The early-ending track is padded with silence to the movie's end.
    for (int n = 0; n < 48000; n += 3)
        ASSERT_NEAR(ch[3][size_t(n)], sineAt(0.4, 300, n / 48000.0), 1e-4) << n;
    for (int n = 48000; n < 144000; ++n)
        ASSERT_EQ(ch[3][size_t(n)], 0.0f) << n;
}

TEST(VideoImport, CompressedTracksKeepTrackOrder) {
    test::TempDir dir;
    const fs::path movie = dir / "four.MP4";
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=c=black:s=64x64:r=25:d=1"};
    for (double a : {0.1, 0.2, 0.3, 0.4})
        for (const auto& arg : test::sine(a, 500, 48000, 1))
            args.push_back(arg);
    args.insert(args.end(), {"-map", "0", "-map", "1", "-map", "2", "-map", "3", "-map", "4",
                             "-c:v", "mpeg4", "-c:a", "aac", "-b:a", "128k", movie.string()});
    test::ffmpeg(args);

    test::TempDir workspace;
    const AudioInfo info = MediaImport::read(movie, workspace.path());
    ASSERT_EQ(info.channelCount(), 4);
    const auto ch = test::readChannels(info.url);
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(info.channels[size_t(t)].name, "Track " + std::to_string(t + 1) + " / Channel 1");
        // Skip the codec's onset; the level identifies the track.
        std::vector<float> middle(ch[size_t(t)].begin() + 4800, ch[size_t(t)].begin() + 43200);
        EXPECT_NEAR(rms(middle), 0.1 * (t + 1) / std::sqrt(2.0), 0.01 * (t + 1)) << t;
    }
    EXPECT_NEAR(double(info.frameCount), 48000, 2400);
}

TEST(VideoImport, RefusedVideosLeaveNothingBehind) {
    test::TempDir dir;
    test::TempDir workspace;

    const fs::path silent = dir / "silent.mp4";
    test::ffmpeg(
        {"-f", "lavfi", "-i", "color=c=black:s=64x64:r=25:d=1", "-c:v", "mpeg4", silent.string()});
    expectFailure(silent, workspace.path(), "This video has no audio track.");

    // Three tracks of 48 channels: 144 in all.
    const fs::path wide = dir / "wide.mov";
    std::string expr = "0.1";
    for (int c = 1; c < 48; ++c)
        expr += "|0.1";
    std::vector<std::string> args;
    for (int t = 0; t < 3; ++t)
        args.insert(args.end(), {"-f", "lavfi", "-i", "aevalsrc=" + expr + ":s=8000:d=0.1"});
    args.insert(args.end(),
                {"-map", "0", "-map", "1", "-map", "2", "-c:a", "pcm_s16le", wide.string()});
    test::ffmpeg(args);
    expectFailure(wide, workspace.path(),
                  "Video import supports up to 128 audio channels and 384 kHz.");

    // A track whose codec no decoder knows: the PCM sample entry renamed.
    const fs::path pcm = dir / "pcm.mov";
    auto tone = test::sine(0.1, 440, 8000, 0.5);
    tone.insert(tone.end(), {"-c:a", "pcm_s16le", pcm.string()});
    test::ffmpeg(tone);
    std::string bytes = test::readFile(pcm);
    const auto entry = bytes.find("sowt");
    ASSERT_NE(entry, std::string::npos);
    bytes.replace(entry, 4, "zzzz");
    test::writeFile(dir / "unknown.mov", bytes);
    expectFailure(dir / "unknown.mov", workspace.path(),
                  "FFmpeg cannot decode this video's audio codec (zzzz).");

    // Not a movie at all: said in a user's words, naming the file.
    const fs::path garbage = dir / "garbage.mov";
    test::writeFile(garbage, std::string(4096, 'x'));
    try {
        MediaImport::read(garbage, workspace.path());
        ADD_FAILURE() << "a file of x's imported";
    } catch (const AudioFailure& e) {
        EXPECT_EQ(e.message(),
                  "Could not read \u201Cgarbage.mov\u201D: the file is damaged or is "
                  "not a recording FFmpeg can read.");
    }
    EXPECT_TRUE(test::listFolder(workspace.path()).empty());
}

TEST(VideoImport, CancellingWhileDecodingRemovesTheImportFolder) {
    test::TempDir dir;
    const fs::path movie = dir / "long.mov";
    auto args = test::sine(0.5, 440, 48000, 20);
    args.insert(args.end(), {"-ac", "2", "-c:a", "pcm_s16le", movie.string()});
    test::ffmpeg(args);

    test::TempDir workspace;
    std::stop_source stop;
    EXPECT_THROW(
        MediaImport::read(
            movie, workspace.path(), [&](double) { stop.request_stop(); }, stop.get_token()),
        Cancelled);
    EXPECT_TRUE(test::listFolder(workspace.path()).empty());
}

TEST(VideoImport, ExtensionsDecideTheRoute) {
    EXPECT_TRUE(MediaImport::isVideo("/x/take.MOV"));
    EXPECT_TRUE(MediaImport::isVideo("/x/take.Mp4"));
    EXPECT_TRUE(MediaImport::isVideo("/x/take.m4v"));
    EXPECT_TRUE(MediaImport::isVideo("/x/take.MXF"));
    EXPECT_TRUE(MediaImport::isVideo("/x/take.mkv"));
    EXPECT_FALSE(MediaImport::isVideo("/x/take.wav"));
    EXPECT_FALSE(MediaImport::isVideo("/x/mov"));

    // A WAV goes straight to analysis: nothing is created in the workspace.
    test::TempDir dir;
    const fs::path wav = dir / "tone.wav";
    {
        auto writer = AudioIO::writer(wav, 48000, 2, 24);
        AudioBuffer buffer(2, 4800);
        buffer.setFrameLength(4800);
        writer->write(buffer);
        writer->close();
    }
    test::TempDir workspace;
    const AudioInfo info = MediaImport::read(wav, workspace.path());
    EXPECT_EQ(info.url, wav);
    EXPECT_EQ(info.sourceURL, wav);
    EXPECT_EQ(info.frameCount, 4800);
    EXPECT_TRUE(test::listFolder(workspace.path()).empty());
}
