// Compressed and foreign formats made by the ffmpeg and sox programs: lengths, sample values
// and sample-exact seeking of the FFmpeg reader.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>

#include "FileFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/files/FFmpegDecoder.hpp"
#include "audiocore/model/AudioFailure.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::shellQuote;

bool haveProgram(const std::string& name) {
    return test::run("command -v " + name) == 0;
}

// Reads `frames` frames from the reader's current position.
test::Planes readFrames(AudioFileReader& file, int64_t frames) {
    test::Planes planes(size_t(file.channelCount()));
    AudioBuffer block(file.channelCount(), 4096);
    while (frames > 0) {
        const uint32_t got = file.read(block, uint32_t(std::min<int64_t>(frames, 4096)));
        if (got == 0) break;
        for (int c = 0; c < file.channelCount(); ++c) {
            planes[size_t(c)].insert(planes[size_t(c)].end(), block.channel(c),
                                     block.channel(c) + got);
        }
        frames -= got;
    }
    return planes;
}

class DecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveProgram("ffmpeg")) GTEST_SKIP() << "the ffmpeg program is not installed";
        source = dir / "source.wav";
        // Tones (no noise) so that the lossy encoders produce stable, tonal frames.
        test::Planes planes(2, std::vector<float>(kFrames, 0.0f));
        for (int64_t i = 0; i < kFrames; ++i) {
            planes[0][size_t(i)] = float(0.4 * std::sin(2 * M_PI * 440.0 * double(i) / 48000));
            planes[1][size_t(i)] = float(0.3 * std::sin(2 * M_PI * 1250.0 * double(i) / 48000));
        }
        test::writeSndFile(source, planes, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    }

    fs::path encode(const std::string& name, const std::string& options) {
        const auto path = dir / name;
        const int rc = test::run("ffmpeg -v error -y -i " + shellQuote(source.string()) + " " +
                                 options + " " + shellQuote(path.string()));
        if (rc != 0) throw std::runtime_error("ffmpeg could not make " + name);
        return path;
    }

    static constexpr int64_t kFrames = 150'011;
    test::TempDir dir;
    fs::path source;
};

// The stream's declared duration in samples, as ffprobe reports it.
int64_t probedDuration(const fs::path& path) {
    const test::ShellResult probe = test::runShell(
        "ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts -of csv=p=0 " +
        shellQuote(path.string()));
    return std::atoll(probe.output.c_str());
}

TEST_F(DecoderTest, AacLengthIsTheContainersAndSamplesMatchTheReferenceDecoder) {
    const auto path = encode("speech.m4a", "-c:a aac -b:a 160k");
    auto file = AudioIO::open(path);
    int channels = 0;
    const std::vector<float> reference = test::ffmpegDecode(path, channels);
    ASSERT_EQ(channels, 2);
    ASSERT_EQ(file->channelCount(), 2);
    EXPECT_EQ(file->sampleRate(), 48000.0);
    EXPECT_EQ(file->fileBitDepth(), 0);
    // The encoder's priming and end padding are both outside: the length is the container's
    // (whose edit list counts in milliseconds here: 150000 of the source's 150011 frames),
    // while FFmpeg's own decode runs on through the padding of the last packet.
    EXPECT_EQ(file->length(), probedDuration(path));
    EXPECT_EQ(file->length(), 150'000);
    EXPECT_GT(int64_t(reference.size() / 2), file->length());
    const test::Planes planes = readFrames(*file, file->length() + 10);
    ASSERT_EQ(int64_t(planes[0].size()), file->length());
    for (size_t i = 0; i < planes[0].size(); ++i) {
        ASSERT_EQ(planes[0][i], reference[2 * i]) << i;
        ASSERT_EQ(planes[1][i], reference[2 * i + 1]) << i;
    }
    const AudioInfo info = AudioIO::analyze(path);
    EXPECT_EQ(info.frameCount, file->length());
    EXPECT_NEAR(info.channels[0].rms, 0.4 / std::sqrt(2.0), 0.01);
    EXPECT_TRUE(info.metadata.chunks.empty());
}

TEST_F(DecoderTest, CompressedLengthsAreExactToTheSample) {
    // 3 s at 48 kHz made by the ffmpeg program: every reader gives exactly 144000 frames, the
    // samples of FFmpeg's own decode (M4A: the container's duration; MP3: the LAME/Xing
    // gapless information; Opus: the pre-skip and the final granule position).
    test::writeSndFile(source, test::testSignal(2, 144'000, 48000, 0.3f), 48000,
                       SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    for (const auto& [name, options] :
         std::vector<std::pair<std::string, std::string>>{{"tone.m4a", "-c:a aac -b:a 128k"},
                                                          {"tone.mp3", "-c:a libmp3lame -b:a 192k"},
                                                          {"tone.opus", "-c:a libopus -b:a 96k"},
                                                          {"tone.ogg", "-c:a libvorbis"}}) {
        const auto path = encode(name, options);
        auto file = AudioIO::open(path);
        EXPECT_EQ(file->length(), 144'000) << name;
        if (name == "tone.m4a") {
            EXPECT_EQ(file->length(), probedDuration(path)) << name;
        }
        int channels = 0;
        const std::vector<float> reference = test::ffmpegDecode(path, channels);
        const test::Planes planes = readFrames(*file, file->length());
        ASSERT_EQ(int64_t(planes[0].size()), 144'000) << name;
        ASSERT_GE(reference.size(), 2u * 144'000) << name;
        // libsndfile's decoders (MP3, Vorbis, Opus) differ from FFmpeg's in rounding only.
        for (size_t i = 0; i < planes[0].size(); ++i)
            ASSERT_NEAR(planes[0][i], reference[2 * i], 2e-4) << name << " frame " << i;
    }
}

TEST_F(DecoderTest, AFileNameIsNeverAProtocol) {
    // Names that FFmpeg would take as a network address, standard input or a concatenation
    // are opened as the local files they are.
    const auto original = encode("plain.m4a", "-c:a aac -b:a 128k");
    const int64_t length = AudioIO::open(original)->length();
    test::TempDir names;
    for (const std::string name :
         {"http:127.0.0.1:9.m4a", "tcp:127.0.0.1:9.m4a", "pipe:0.m4a", "concat:a.m4a|b.m4a",
          "file:other.m4a", "subfile,,start,0,end,0,,:x.m4a"}) {
        fs::copy_file(original, names / name);
        const fs::path cwd = fs::current_path();
        fs::current_path(names.path());
        std::unique_ptr<AudioFileReader> file;
        EXPECT_NO_THROW(file = AudioIO::open(name)) << name;
        fs::current_path(cwd);
        if (file) {
            EXPECT_EQ(file->length(), length) << name;
        }
    }
}

TEST_F(DecoderTest, ACountedLengthIsKeptForTheRestOfTheRun) {
    // Raw ADTS declares no length: it is counted once, then known by the file's identity.
    const auto path = encode("counted.aac", "-c:a aac -b:a 128k");
    const int64_t length = AudioIO::open(path)->length();
    const auto stamp = fs::last_write_time(path);
    // Same size and time, different content: the first count still answers.
    auto bytes = test::readBytes(path);
    std::fill(bytes.begin() + int64_t(bytes.size() / 2), bytes.end(), uint8_t(0));
    test::writeBytes(path, bytes);
    fs::last_write_time(path, stamp);
    EXPECT_EQ(AudioIO::open(path)->length(), length);
    // A changed file is counted again.
    bytes.resize(bytes.size() / 2);
    test::writeBytes(path, bytes);
    EXPECT_LT(AudioIO::open(path)->length(), length);
}

// Seeks in `path` to many targets and compares what is read with a sequential decode.
// `tolerance` is the largest RMS difference per read; 0 demands identical samples.
void expectSeeksMatchSequentialDecode(const fs::path& path, float tolerance) {
    auto whole = AudioIO::open(path);
    const int64_t length = whole->length();
    const test::Planes all = readFrames(*whole, length);
    ASSERT_EQ(int64_t(all[0].size()), length);

    auto file = AudioIO::open(path);
    // Forward, backward, near both ends, on and off frame boundaries, short and long jumps.
    for (int64_t target : {int64_t(100'000), int64_t(5), int64_t(0), int64_t(1024), int64_t(1023),
                           int64_t(70'001), int64_t(12'345), length - 3000, int64_t(30'000),
                           int64_t(31'000), length - 1, int64_t(99'999)}) {
        file->seek(target);
        EXPECT_EQ(file->position(), target);
        const int64_t n = std::min<int64_t>(3000, length - target);
        const test::Planes got = readFrames(*file, n);
        ASSERT_EQ(int64_t(got[0].size()), n) << "at " << target;
        for (size_t c = 0; c < 2; ++c) {
            double squares = 0;
            for (int64_t i = 0; i < n; ++i) {
                const double d = double(got[c][size_t(i)]) - all[c][size_t(target + i)];
                if (tolerance == 0.0f) {
                    ASSERT_EQ(d, 0.0) << "channel " << c << " frame " << target + i
                                      << " after seeking to " << target;
                }
                squares += d * d;
            }
            EXPECT_LE(std::sqrt(squares / double(n)), tolerance)
                << "channel " << c << " after seeking to " << target;
        }
        EXPECT_EQ(file->position(), target + n);
    }
    // Reading at the end delivers nothing; seeking past it is refused.
    file->seek(length);
    AudioBuffer block(2, 16);
    EXPECT_EQ(file->read(block, 16), 0u);
    EXPECT_THROW(file->seek(length + 1), std::exception);
}

TEST_F(DecoderTest, AacSeekingIsSampleExact) {
    // Without noise substitution the decoder's output depends only on the packets, so a
    // seek must reproduce the sequential decode bit for bit.
    expectSeeksMatchSequentialDecode(encode("seek.m4a", "-c:a aac -b:a 192k -aac_pns 0"), 0.0f);
}

TEST_F(DecoderTest, AacSeekingWithNoiseSubstitutionStaysOnTheSameSamples) {
    // Noise-substituted bands are filled from the decoder's running random generator, which
    // a seek cannot rewind: those bands differ at noise level. A frame off by even one sample
    // would differ by more than 1e-2 RMS on these tones.
    expectSeeksMatchSequentialDecode(encode("pns.m4a", "-c:a aac -b:a 128k"), 5e-3f);
}

TEST_F(DecoderTest, RawAdtsSeekingIsSampleExact) {
    // No container index: seeks must still land on the exact frame.
    expectSeeksMatchSequentialDecode(encode("raw.aac", "-c:a aac -b:a 192k -aac_pns 0"), 0.0f);
}

TEST_F(DecoderTest, LosslessAlacDecodesToTheSourceSamples) {
    const auto path = encode("lossless.m4a", "-c:a alac");
    const test::Planes original = test::readSndFile(source);
    auto file = AudioIO::open(path);
    EXPECT_EQ(file->length(), kFrames);
    EXPECT_EQ(file->fileBitDepth(), 24);
    EXPECT_EQ(readFrames(*file, kFrames), original);
    file->seek(123'456);
    const test::Planes tail = readFrames(*file, 1000);
    EXPECT_TRUE(std::equal(tail[1].begin(), tail[1].end(), original[1].begin() + 123'456));
    // extract goes through the same reader.
    const auto cut = dir / "cut.wav";
    AudioIO::extract(path, cut, AudioFrameRange::make(40'000, 90'000));
    const test::Planes extracted = test::readSndFile(cut);
    EXPECT_TRUE(std::equal(extracted[0].begin(), extracted[0].end(), original[0].begin() + 40'000));
    EXPECT_EQ(extracted[0].size(), 50'000u);
}

TEST_F(DecoderTest, EveryImportFormatAnalyses) {
    struct Case {
        std::string name;
        std::string options;
        int bits;
    };
    std::vector<Case> cases = {{"a.mp3", "-c:a libmp3lame -b:a 192k", 0},
                               {"b.aiff", "-c:a pcm_s16be", 16},
                               {"c.flac", "-c:a flac", 24},
                               {"d.caf", "-c:a pcm_s24le", 24},
                               {"e.ogg", "-c:a libvorbis", 0},
                               {"f.opus", "-c:a libopus -b:a 96k", 0},
                               {"g.wav", "-c:a pcm_s24le -rf64 always", 24}};
    for (const Case& c : cases) {
        const auto path = encode(c.name, c.options);
        AudioInfo info;
        ASSERT_NO_THROW(info = AudioIO::analyze(path)) << c.name;
        EXPECT_EQ(info.channels.size(), 2u) << c.name;
        EXPECT_EQ(info.sampleRate, 48000.0) << c.name;
        EXPECT_EQ(info.bitDepth, c.bits) << c.name;
        EXPECT_NEAR(double(info.frameCount), double(kFrames), 2400.0) << c.name;
        EXPECT_NEAR(info.channels[0].peak, 0.4, 0.05) << c.name;
        EXPECT_NEAR(info.channels[1].rms, 0.3 / std::sqrt(2.0), 0.02) << c.name;
    }
    if (haveProgram("sox")) {
        const auto aiff = dir / "sox.aif";
        ASSERT_EQ(
            test::run("sox " + shellQuote(source.string()) + " -b 24 " + shellQuote(aiff.string())),
            0);
        EXPECT_EQ(AudioIO::analyze(aiff).frameCount, kFrames);
    }
}

TEST_F(DecoderTest, DamagedCompressedFilesFailOrReadButNeverCrash) {
    for (const auto& [name, options] :
         std::vector<std::pair<std::string, std::string>>{{"cut.m4a", "-c:a aac"},
                                                          {"cut.mp3", "-c:a libmp3lame"},
                                                          {"cut.opus", "-c:a libopus"}}) {
        const auto path = encode(name, options);
        auto bytes = test::readBytes(path);
        // Scribble over the middle, then cut the file short.
        for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 600 && i < bytes.size(); ++i) {
            bytes[i] = uint8_t(i * 37);
        }
        bytes.resize(bytes.size() * 2 / 3);
        test::writeBytes(path, bytes);
        try {
            const AudioInfo info = AudioIO::analyze(path);
            EXPECT_GT(info.frameCount, 0) << name;
            auto file = AudioIO::open(path);
            file->seek(info.frameCount / 2);
            // A damaged file may hold less than it declares; reading simply ends early.
            const test::Planes rest = readFrames(*file, info.frameCount);
            EXPECT_LE(int64_t(rest[0].size()), info.frameCount - info.frameCount / 2) << name;
        } catch (const std::exception& e) {
            SUCCEED() << name << ": " << e.what();
        }
    }
}

/// Every sample a decoder delivers, channel by channel, with its first position.
struct Decoded {
    std::optional<int64_t> first;
    test::Planes planes;
};

Decoded decodeAll(FFmpegDecoder& decoder) {
    Decoded d;
    d.planes.resize(size_t(decoder.channelCount()));
    while (decoder.next()) {
        if (!d.first) d.first = decoder.position();
        for (int c = 0; c < decoder.channelCount(); ++c)
            d.planes[size_t(c)].insert(d.planes[size_t(c)].end(), decoder.channel(c),
                                       decoder.channel(c) + decoder.frames());
    }
    return d;
}

TEST_F(DecoderTest, TracksReadTogetherMatchTracksReadAlone) {
    // Two audio tracks (PCM and AAC) and a picture in one movie.
    const auto movie = dir / "two.mov";
    ASSERT_EQ(test::run("ffmpeg -v error -y -f lavfi -i color=c=black:s=64x64:r=25:d=3 -i " +
                        shellQuote(source.string()) +
                        " -f lavfi -i sine=f=700:d=3:sample_rate=44100 -map 0 -map 1 -map 2 "
                        "-c:v mpeg4 -c:a:0 pcm_s24le -c:a:1 aac " +
                        shellQuote(movie.string())),
              0);
    const MediaContainer media = probeMedia(movie);
    std::vector<int> streams;
    for (const auto& st : media.streams)
        if (st.kind == MediaContainer::Kind::audio) streams.push_back(st.index);
    ASSERT_EQ(streams.size(), 2u);

    auto together = FFmpegDecoder::openTogether(movie, streams, size_t(64) << 20);
    ASSERT_EQ(together.size(), 2u);
    // Read the second track completely first: the first one's packets wait for it.
    const Decoded second = decodeAll(*together[1]);
    const Decoded first = decodeAll(*together[0]);
    for (size_t i = 0; i < 2; ++i) {
        FFmpegDecoder alone(movie, streams[i]);
        const Decoded expected = decodeAll(alone);
        const Decoded& got = i == 0 ? first : second;
        EXPECT_EQ(got.first, expected.first) << i;
        EXPECT_EQ(got.planes, expected.planes) << i;
    }
    EXPECT_EQ(first.planes[0], test::readSndFile(source)[0]);
    EXPECT_FALSE(together[0]->seekBefore(0));

    // With no room to hold the other track's packets, reading together is refused.
    auto cramped = FFmpegDecoder::openTogether(movie, streams, 1);
    EXPECT_THROW(decodeAll(*cramped[1]), FFmpegDecoder::Unshareable);
}

TEST_F(DecoderTest, RefusalsNameTheFileInAUsersWords) {
    auto failure = [](const fs::path& path, int stream = -1) -> std::string {
        try {
            FFmpegDecoder decoder(path, stream);
            while (decoder.next()) {
            }
        } catch (const AudioFailure& e) {
            return e.what();
        }
        return "(no failure)";
    };
    test::writeBytes(dir / "noise.m4a", std::vector<uint8_t>(5000, 0x5A));
    EXPECT_EQ(failure(dir / "noise.m4a"),
              "Could not read \u201Cnoise.m4a\u201D: the file is "
              "damaged or is not a recording FFmpeg can read.");
    EXPECT_EQ(failure(dir / "missing.m4a"),
              "Could not read \u201Cmissing.m4a\u201D: the file does not exist.");
    // A file cut short inside its header.
    auto bytes = test::readBytes(encode("short.m4a", "-c:a aac -movflags +faststart"));
    bytes.resize(bytes.size() / 50);
    test::writeBytes(dir / "short.m4a", bytes);
    const std::string cut = failure(dir / "short.m4a");
    EXPECT_EQ(cut.rfind("Could not read \u201Cshort.m4a\u201D: ", 0), 0u) << cut;
    EXPECT_EQ(cut.find("End of file"), std::string::npos) << cut;
    EXPECT_EQ(cut.find("patches welcome"), std::string::npos) << cut;
    // A stream that is not audio.
    EXPECT_EQ(failure(source, 5),
              "Could not read \u201Csource.wav\u201D: it has no such audio "
              "track.");
}

TEST_F(DecoderTest, AbsurdTimestampsAreRefused) {
    // Matroska at 96 kHz starting 9e12 s in (7-byte cluster timecodes), several clusters.
    const auto path = encode("far.mka",
                             "-ar 96000 -c:a pcm_s16le -cluster_time_limit 500 "
                             "-output_ts_offset 9000000000000");
    // Far out but representable: reads completely.
    EXPECT_EQ(AudioIO::analyze(path).frameCount, std::llround(kFrames * 2.0));
    // The second cluster's timecode raised to 2^56 - 1 ms: 6.9e18 samples, beyond any real
    // recording (and near the end of 64-bit arithmetic).
    auto bytes = test::readBytes(path);
    int clusters = 0;
    for (size_t i = 0; i + 20 < bytes.size(); ++i) {
        if (bytes[i] != 0x1F || bytes[i + 1] != 0x43 || bytes[i + 2] != 0xB6 ||
            bytes[i + 3] != 0x75)
            continue;
        if (++clusters != 2) continue;
        size_t at = i + 4;
        int sizeLength = 1;
        while (sizeLength < 8 && !(bytes[at] & (0x80 >> (sizeLength - 1))))
            ++sizeLength;
        at += size_t(sizeLength);
        if (bytes[at] == 0xBF) at += 6;  // the cluster's CRC-32 element comes first
        ASSERT_EQ(bytes[at], 0xE7);
        ASSERT_EQ(bytes[at + 1], 0x87);
        std::fill_n(bytes.begin() + int64_t(at + 2), 7, uint8_t(0xFF));
        break;
    }
    ASSERT_EQ(clusters, 2);
    test::writeBytes(path, bytes);
    std::string message = "(no failure)";
    try {
        auto file = AudioIO::open(path);
        AudioBuffer block(2, 4096);
        while (file->read(block, 4096) > 0) {
        }
    } catch (const std::exception& e) {
        message = e.what();
    }
    EXPECT_EQ(message, "Could not read \u201Cfar.mka\u201D: its audio timestamps are invalid.");
}

}  // namespace
}  // namespace corvaline
