// What an import does when the machine or the file is unusual: a disk without room for the
// extracted audio, a header declaring more than the file can hold, tracks too far apart to be
// read in one pass, and a track running past the movie (the one case where the extracted file
// is read back for its analysis).

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "ImportFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/FFmpegDecoder.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/AudioFailure.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

class ImportEnvironmentTest : public ::testing::Test {
  protected:
    /// Imports `file` with `environment`; the failure's message, or "" when it imported.
    std::string refusal(const fs::path& file, const MediaImport::ImportEnvironment& environment) {
        try {
            imported = MediaImport::read(file, workspace.path(), environment);
            return "";
        } catch (const AudioFailure& e) {
            return e.message();
        }
    }

    /// An environment whose free-space query answers `bytes` and records the folders asked.
    MediaImport::ImportEnvironment freeSpace(std::optional<uint64_t> bytes) {
        MediaImport::ImportEnvironment environment;
        environment.freeSpace = [this, bytes](const fs::path& folder) {
            asked.push_back(folder);
            return bytes;
        };
        return environment;
    }

    static std::string named(const fs::path& file, const std::string& message) {
        return "Could not import \u201C" + file.filename().string() + "\u201D. " + message;
    }

    /// Every field of two descriptions of the same audio but their ids.
    static void expectSameDescription(const AudioInfo& a, const AudioInfo& b) {
        EXPECT_EQ(a.url, b.url);
        EXPECT_EQ(a.sourceURL, b.sourceURL);
        EXPECT_EQ(a.sampleRate, b.sampleRate);
        EXPECT_EQ(a.frameCount, b.frameCount);
        EXPECT_EQ(a.bitDepth, b.bitDepth);
        EXPECT_EQ(a.metadata, b.metadata);
        EXPECT_EQ(a.warnings, b.warnings);
        ASSERT_EQ(a.channels.size(), b.channels.size());
        for (size_t c = 0; c < a.channels.size(); ++c)
            EXPECT_EQ(a.channels[c], b.channels[c]) << "channel " << c;
    }

    test::TempDir dir;
    test::TempDir workspace;
    std::vector<fs::path> asked;
    AudioInfo imported;
};

/// A movie of one stereo 48 kHz track and one mono 44.1 kHz track starting at 0.5 s, both
/// ending at `seconds`, with a small picture track.
fs::path twoTrackMovie(const fs::path& folder, double seconds) {
    const fs::path movie = folder / "scene.mov";
    std::vector<std::string> args = {"-f", "lavfi", "-i",
                                     "color=c=black:s=64x64:r=25:d=" + std::to_string(seconds)};
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "aevalsrc=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=48000:d=" +
                                 std::to_string(seconds),
                             "-itsoffset", "0.5"});
    for (const auto& a : test::sine(0.3, 1000, 44100, seconds - 0.5))
        args.push_back(a);
    args.insert(args.end(), {"-map", "0", "-map", "1", "-map", "2", "-c:v", "mpeg4", "-c:a",
                             "pcm_s24le", movie.string()});
    test::ffmpeg(args);
    return movie;
}

}  // namespace

TEST_F(ImportEnvironmentTest, AVideoNeedsRoomForItsExtractedAudio) {
    // Audio only, exactly one second: the timeline is 48000 frames of three channels.
    const fs::path movie = dir / "take.mov";
    test::ffmpeg({"-f", "lavfi", "-i",
                  "aevalsrc=0.1*sin(2*PI*300*t)|0.2*sin(2*PI*500*t):s=48000:d=1", "-f", "lavfi",
                  "-i", "sine=f=700:sample_rate=48000:d=1", "-map", "0", "-map", "1", "-c:a",
                  "pcm_s16le", movie.string()});
    const uint64_t needed = MediaImport::extractionBytes(3, 48000);
    EXPECT_EQ(needed, 3u * 48000u * 4u + 100000000u);

    EXPECT_EQ(refusal(movie, freeSpace(needed - 1)),
              named(movie, "Not enough free disk space to extract this video's audio."));
    EXPECT_TRUE(test::listFolder(workspace.path()).empty()) << "the import folder must go";
    // The volume asked about is the import folder's, inside the workspace.
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].parent_path(), workspace.path());
    EXPECT_EQ(asked[0].filename().string().rfind("Video-", 0), 0u);

    EXPECT_EQ(refusal(movie, freeSpace(needed)), "");
    EXPECT_EQ(imported.frameCount, 48000);
    // A volume that cannot tell its free space is not a reason to refuse.
    EXPECT_EQ(refusal(movie, freeSpace(std::nullopt)), "");
    EXPECT_EQ(imported.channelCount(), 3);
}

TEST_F(ImportEnvironmentTest, AnMXFNeedsRoomForItsStreamsAndTheMergedFile) {
    const fs::path mxf = dir / "A002C001.MXF";
    std::vector<std::string> args = {"-f", "lavfi", "-i", "color=c=black:s=320x240:r=25:d=2"};
    for (int t = 0; t < 2; ++t)
        for (const auto& a : test::sine(0.2, 440 * (t + 1), 48000, 2))
            args.push_back(a);
    args.insert(args.end(), {"-map", "0", "-map", "1", "-map", "2", "-c:v", "mpeg2video", "-c:a",
                             "pcm_s24le", "-f", "mxf", mxf.string()});
    test::ffmpeg(args);
    // Two mono streams of two seconds, 8 bytes a sample (the stream files and the merged one).
    const uint64_t needed = 2u * 96000u * 8u + 100000000u;

    EXPECT_EQ(refusal(mxf, freeSpace(needed - 1)),
              named(mxf, "Not enough free disk space to extract this MXF's audio."));
    EXPECT_TRUE(test::listFolder(workspace.path()).empty());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].parent_path(), workspace.path());

    EXPECT_EQ(refusal(mxf, freeSpace(needed)), "");
    EXPECT_EQ(imported.frameCount, 96000);
    EXPECT_EQ(imported.channelCount(), 2);
}

TEST_F(ImportEnvironmentTest, AHeaderWithoutAnIndexMayNotDeclareMoreThanItsBytesCanHold) {
    // Matroska has no index of every packet: the declared duration is held against the file's
    // size, at least 8 bytes for every second of sound.
    const fs::path original = dir / "memo.mkv";
    test::ffmpeg({"-f", "lavfi", "-i", "sine=f=440:sample_rate=8000:d=0.25", "-c:a", "pcm_s16le",
                  original.string()});
    std::string bytes = test::readFile(original);
    // The segment's Duration element (0x4489, eight-byte float) in milliseconds.
    const size_t at = bytes.find("\x44\x89\x88");
    ASSERT_NE(at, std::string::npos);
    const auto declare = [&](double seconds, const std::string& name) {
        const auto bits = std::bit_cast<uint64_t>(seconds * 1000.0);
        std::string patched = bytes;
        for (int k = 0; k < 8; ++k)
            patched[at + 3 + size_t(k)] = char((bits >> (8 * (7 - k))) & 0xFF);
        test::writeFile(dir / name, patched);
        return dir / name;
    };
    const double holds = double(bytes.size()) / 8.0;  // seconds these bytes can hold

    const fs::path forged = declare(holds * 1.05, "forged.mkv");
    const std::string message = refusal(forged, {});
    const std::string expected =
        named(forged, "The video has an invalid duration.\nIts header declares ");
    EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
    EXPECT_NE(message.find("more than its " + std::to_string(bytes.size()) + " bytes can hold."),
              std::string::npos)
        << message;
    EXPECT_TRUE(test::listFolder(workspace.path()).empty());

    // Just inside the bound the declared length is believed: sound, then silence.
    const double believable = std::floor(holds * 0.95);
    EXPECT_EQ(refusal(declare(believable, "long.mkv"), {}), "");
    EXPECT_EQ(imported.frameCount, std::llround(believable * 8000));
    EXPECT_GT(imported.channels[0].peak, 0.1f);  // lavfi sine: amplitude 1/8
}

TEST_F(ImportEnvironmentTest, TracksTooFarApartAreReadOneByOneWithTheSameResult) {
    const fs::path movie = twoTrackMovie(dir.path(), 3);
    // With a held-packet bound of one byte, reading the tracks together gives up at the first
    // packet of the other track...
    {
        auto decoders = FFmpegDecoder::openTogether(movie, {1, 2}, 1);
        ASSERT_EQ(decoders.size(), 2u);
        EXPECT_THROW(
            {
                while (decoders[0]->next()) {
                }
            },
            FFmpegDecoder::Unshareable);
    }
    // ...so the import starts again track by track, into a fresh file.
    MediaImport::ImportEnvironment oneByOne;
    oneByOne.maxHeldBytes = 1;
    ASSERT_EQ(refusal(movie, oneByOne), "");
    const AudioInfo separate = imported;
    ASSERT_EQ(refusal(movie, {}), "");
    const AudioInfo together = imported;

    EXPECT_EQ(separate.frameCount, 3 * 48000);
    EXPECT_EQ(separate.frameCount, together.frameCount);
    EXPECT_EQ(separate.channels, together.channels);
    const auto a = test::readChannels(separate.url);
    const auto b = test::readChannels(together.url);
    ASSERT_EQ(a.size(), 3u);
    for (size_t c = 0; c < a.size(); ++c) {
        ASSERT_EQ(a[c].size(), size_t(3 * 48000)) << c;
        EXPECT_TRUE(a[c] == b[c]) << "channel " << c << " differs";
    }
    EXPECT_EQ(test::listFolder(separate.url.parent_path()), std::vector<std::string>{"Audio.caf"});
}

TEST_F(ImportEnvironmentTest, TheAnalysisMadeWhileDecodingIsTheAnalysisOfTheFile) {
    const fs::path movie = twoTrackMovie(dir.path(), 2);
    ASSERT_EQ(refusal(movie, {}), "");
    const AudioInfo reread = MediaImport::describe(movie, imported.url, {2, 1});
    expectSameDescription(imported, reread);
    EXPECT_EQ(imported.channels[2].name, "Track 2 / Channel 1");
    // The late track's first half second is silent in the overview too.
    EXPECT_EQ(imported.channels[2].waveform[0], 0.0f);
    EXPECT_GT(imported.channels[2].peak, 0.29f);
}

TEST_F(ImportEnvironmentTest, ATrackRunningPastTheMovieIsAnalysedFromTheFile) {
    // The movie header says 2.5 s; the track holds 3 s. The timeline grows to the track's end,
    // which is only known once it has been decoded.
    const fs::path source = dir / "long.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "sine=f=440:sample_rate=48000:d=3", "-c:a", "pcm_s16le",
                  source.string()});
    std::string bytes = test::readFile(source);
    const size_t mvhd = bytes.find("mvhd");
    ASSERT_NE(mvhd, std::string::npos);
    const size_t scale = mvhd + 16;  // version/flags, creation and modification times
    const auto get = [&](size_t at) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k)
            v = (v << 8) | uint8_t(bytes[at + k]);
        return v;
    };
    const uint32_t shorter = get(scale) * 5 / 2;
    for (size_t k = 0; k < 4; ++k)
        bytes[scale + 4 + k] = char((shorter >> (8 * (3 - k))) & 0xFF);
    const fs::path movie = dir / "short-header.mov";
    test::writeFile(movie, bytes);

    ASSERT_EQ(refusal(movie, {}), "");
    EXPECT_EQ(imported.frameCount, 3 * 48000);
    expectSameDescription(imported, MediaImport::describe(movie, imported.url, {1}));
    // The overview covers the whole file: its last point is not silent.
    EXPECT_GT(imported.channels[0].waveform.back(), 0.1f);
}
