// Every track of a video lands on the movie's own timeline, sample for sample as the ffmpeg
// program decodes it: late starts, early ends, edit lists, and containers whose timestamps
// start anywhere.

#include <gtest/gtest.h>

#include <cmath>

#include "ImportFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/AudioFailure.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

/// Start and end (seconds) of audio track `track` as the container declares them.
std::pair<double, double> declaredRange(const fs::path& path, int track) {
    const auto probe = test::runShell(
        "ffprobe -v error -select_streams a:" + std::to_string(track) +
        " -show_entries stream=start_time,duration -of csv=p=0 " + test::shellQuote(path.string()));
    double start = 0, duration = 0;
    std::sscanf(probe.output.c_str(), "%lf,%lf", &start, &duration);
    return {start, start + duration};
}

double containerStart(const fs::path& path) {
    const auto probe = test::runShell(
        "ffprobe -v error -show_entries format=start_time -of "
        "csv=p=0 " +
        test::shellQuote(path.string()));
    return std::atof(probe.output.c_str());
}

/// Checks channels [first, first + ref.channels) of `imported` against the ffmpeg program's
/// decode of audio track `track`, placed at its first timestamp minus `origin`: silence
/// before, the reference's samples exactly while the track lasts, silence after.
void expectTrackOnTimeline(const std::vector<std::vector<float>>& imported, int first,
                           const fs::path& movie, int track, double origin) {
    const test::ReferenceTrack ref = test::referenceDecode(movie, track);
    ASSERT_GT(ref.frames(), 0);
    const auto [start, end] = declaredRange(movie, track);
    const int64_t placed = std::llround(ref.rate * (ref.firstTime - origin));
    const int64_t trackEnd = std::llround(ref.rate * (end - origin));
    ASSERT_GE(placed, 0);
    for (int c = 0; c < ref.channels; ++c) {
        const std::vector<float>& got = imported[size_t(first + c)];
        for (int64_t t = 0; t < int64_t(got.size()); ++t) {
            const int64_t i = t - placed;
            const float expected = i >= 0 && i < ref.frames() && t < trackEnd ? ref.at(i, c) : 0.0f;
            ASSERT_EQ(got[size_t(t)], expected)
                << "track " << track << " channel " << c << " frame " << t << " (placed at "
                << placed << ", ends at " << trackEnd << ")";
        }
    }
}

class TimelineTest : public ::testing::Test {
  protected:
    AudioInfo import(const fs::path& movie) { return MediaImport::read(movie, workspace.path()); }
    test::TempDir dir;
    test::TempDir workspace;
};

TEST_F(TimelineTest, AnAudioOnlyMovieKeepsItsLateTrackAtItsTime) {
    // One track starting at 2 s of a 4 s movie (an empty edit before it).
    const fs::path movie = dir / "late.mov";
    test::ffmpeg({"-itsoffset", "2", "-f", "lavfi", "-i", "sine=f=440:d=2:sample_rate=48000",
                  "-c:a", "pcm_s16le", movie.string()});
    const AudioInfo info = import(movie);
    EXPECT_EQ(info.frameCount, 192000);
    const auto ch = test::readChannels(info.url);
    expectTrackOnTimeline(ch, 0, movie, 0, 0.0);
    EXPECT_EQ(ch[0][95999], 0.0f);
    EXPECT_NE(ch[0][96001], 0.0f);
}

TEST_F(TimelineTest, AMovieWhoseStreamsAllStartLateStartsAtZero) {
    // Picture and AAC sound both start at 2 s; the movie runs 0-4 s.
    const fs::path movie = dir / "all-late.mp4";
    test::ffmpeg(
        {"-itsoffset", "2",   "-f",   "lavfi", "-i",          "color=c=black:s=64x64:r=25:d=2",
         "-itsoffset", "2",   "-f",   "lavfi", "-i",          "sine=f=300:d=2:sample_rate=48000",
         "-map",       "0",   "-map", "1",     "-c:v",        "mpeg4",
         "-c:a",       "aac", "-b:a", "128k",  movie.string()});
    const AudioInfo info = import(movie);
    EXPECT_NEAR(double(info.frameCount), 192000, 48);
    expectTrackOnTimeline(test::readChannels(info.url), 0, movie, 0, 0.0);
}

TEST_F(TimelineTest, ATransportStreamStartsAtItsFirstTimestamp) {
    // MPEG-TS timestamps are arbitrary: this one starts 1000 s in.
    const fs::path movie = dir / "broadcast.ts";
    test::ffmpeg({"-f", "lavfi", "-i", "color=c=black:s=64x64:r=25:d=3", "-f", "lavfi", "-i",
                  "sine=f=500:d=3:sample_rate=48000", "-map", "0", "-map", "1", "-c:v",
                  "mpeg2video", "-c:a", "mp2", "-output_ts_offset", "1000", movie.string()});
    const double origin = containerStart(movie);
    ASSERT_GT(origin, 999.0);
    const AudioInfo info = import(movie);
    EXPECT_LT(info.frameCount, 4 * 48000);
    EXPECT_GT(info.frameCount, 2 * 48000);
    expectTrackOnTimeline(test::readChannels(info.url), 0, movie, 0, origin);
}

TEST_F(TimelineTest, ATrackStartingLateAndEndingEarlyInsideALongerMovie) {
    // Picture 0-4 s; track 1 (stereo PCM) 1-2.5 s; track 2 (mono AAC) 0-4 s.
    const fs::path movie = dir / "inside.mov";
    test::ffmpeg({"-f",          "lavfi",
                  "-i",          "color=c=black:s=64x64:r=25:d=4",
                  "-itsoffset",  "1",
                  "-f",          "lavfi",
                  "-i",          "aevalsrc=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=48000:d=1.5",
                  "-f",          "lavfi",
                  "-i",          "sine=f=1000:d=4:sample_rate=48000",
                  "-map",        "0",
                  "-map",        "1",
                  "-map",        "2",
                  "-c:v",        "mpeg4",
                  "-c:a:0",      "pcm_s24le",
                  "-c:a:1",      "aac",
                  movie.string()});
    const AudioInfo info = import(movie);
    ASSERT_EQ(info.channelCount(), 3);
    EXPECT_EQ(info.frameCount, 192000);
    const auto ch = test::readChannels(info.url);
    expectTrackOnTimeline(ch, 0, movie, 0, 0.0);
    expectTrackOnTimeline(ch, 2, movie, 1, 0.0);
    EXPECT_EQ(ch[0][47999], 0.0f);
    EXPECT_EQ(ch[0][120000], 0.0f);
}

/// Offset of the movie header's timescale field in a MOV/MP4 file.
size_t movieTimescaleOffset(const std::string& bytes) {
    const size_t mvhd = bytes.find("mvhd");
    EXPECT_NE(mvhd, std::string::npos);
    // "mvhd", version and flags, creation and modification times (version 0: 32 bits each).
    return mvhd + 4 + 4 + 4 + 4;
}

uint32_t bigEndian(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k)
        v = (v << 8) | uint8_t(bytes[at + k]);
    return v;
}

void putBigEndian(std::string& bytes, size_t at, uint32_t v) {
    for (size_t k = 0; k < 4; ++k)
        bytes[at + k] = char((v >> (8 * (3 - k))) & 0xFF);
}

TEST_F(TimelineTest, ADeclaredDurationFarBeyondTheDataIsRefusedBeforeWriting) {
    const fs::path movie = dir / "take.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "color=c=black:s=64x64:r=25:d=6", "-f", "lavfi", "-i",
                  "sine=f=440:d=6:sample_rate=48000", "-map", "0", "-map", "1", "-c:v", "mpeg4",
                  "-c:a", "pcm_s16le", movie.string()});
    const std::string original = test::readFile(movie);
    const size_t at = movieTimescaleOffset(original);
    auto expectRefused = [&](const std::string& bytes, const std::string& name) {
        test::writeFile(dir / name, bytes);
        try {
            import(dir / name);
            ADD_FAILURE() << name << " imported";
        } catch (const AudioFailure& e) {
            const std::string expected = "Could not import \u201C" + name +
                                         "\u201D. The video has an invalid duration.\nIts header "
                                         "declares ";
            EXPECT_EQ(e.message().substr(0, expected.size()), expected) << e.message();
        }
        EXPECT_TRUE(test::listFolder(workspace.path()).empty());
    };
    // A movie timescale 1000 times smaller: 6 s become 100 minutes.
    std::string slow = original;
    putBigEndian(slow, at, bigEndian(original, at) / 1000);
    expectRefused(slow, "slow.mov");
    // The movie duration itself claiming an hour.
    std::string hour = original;
    putBigEndian(hour, at + 4, bigEndian(original, at) * 3600);
    expectRefused(hour, "hour.mov");
    // The untouched movie imports.
    EXPECT_EQ(import(movie).frameCount, 6 * 48000);
}

}  // namespace
