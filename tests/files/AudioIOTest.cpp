// AudioIO over files written at test time with libsndfile.

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>

#include "FileFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/FailureText.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const AudioFailure& e) {
        return e.message();
    }
    return "(no AudioFailure)";
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class AudioIOTest : public ::testing::Test {
  protected:
    test::TempDir dir;
};

TEST_F(AudioIOTest, OverviewHasOnePointPerFrameUpTo1800) {
    struct Case {
        int64_t frames;
        size_t points;
    };
    for (const Case& c : {Case{1, 1}, Case{1000, 1000}, Case{1800, 1800}, Case{1801, 1800},
                          Case{10'000'000, 1800}}) {
        const auto path = dir / ("len" + std::to_string(c.frames) + ".wav");
        test::Planes planes(1, std::vector<float>(size_t(c.frames), 0.25f));
        test::writeSndFile(path, planes, 48000, kWav16);
        const AudioInfo info = AudioIO::analyze(path);
        EXPECT_EQ(info.frameCount, c.frames);
        ASSERT_EQ(info.channels.size(), 1u);
        EXPECT_EQ(info.channels[0].waveform.size(), c.points) << c.frames;
    }
}

TEST_F(AudioIOTest, OverviewPeakAndRmsMatchAnIndependentComputation) {
    const int64_t frames = 100'003;  // spans several read blocks, not a multiple of 1800
    const test::Planes planes = test::testSignal(3, frames, 44100, 0.7f);
    const auto path = dir / "signal.wav";
    test::writeSndFile(path, planes, 44100, kWavFloat);
    const AudioInfo info = AudioIO::analyze(path);
    ASSERT_EQ(info.channels.size(), 3u);
    EXPECT_EQ(info.sampleRate, 44100.0);
    EXPECT_EQ(info.bitDepth, 32);
    for (size_t c = 0; c < 3; ++c) {
        std::vector<float> overview(1800, 0.0f);
        float peak = 0;
        double sum = 0;
        for (int64_t p = 0; p < frames; ++p) {
            const float s = planes[c][size_t(p)];
            const auto k = size_t(std::min<int64_t>(p * 1800 / frames, 1799));
            overview[k] = std::max(overview[k], std::fabs(s));
            peak = std::max(peak, std::fabs(s));
            sum += double(s) * s;
        }
        const ChannelInfo& channel = info.channels[c];
        EXPECT_EQ(channel.id, int(c));
        EXPECT_EQ(channel.name, "Channel " + std::to_string(c + 1));
        EXPECT_EQ(channel.waveform, overview);
        EXPECT_EQ(channel.peak, peak);
        EXPECT_EQ(channel.rms, float(std::sqrt(sum / double(frames))));
    }
}

TEST_F(AudioIOTest, NonFiniteSamplesCountAsSilence) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    test::Planes planes = {std::vector<float>(5000, nan), std::vector<float>(5000, 0.5f)};
    planes[1][10] = inf;
    planes[1][20] = -inf;
    planes[1][30] = nan;
    const auto path = dir / "nan.wav";
    test::writeSndFile(path, planes, 48000, kWavFloat);
    const AudioInfo info = AudioIO::analyze(path);
    EXPECT_EQ(info.channels[0].peak, 0.0f);
    EXPECT_EQ(info.channels[0].rms, 0.0f);
    EXPECT_EQ(info.channels[0].waveform, std::vector<float>(1800, 0.0f));
    EXPECT_EQ(info.channels[1].peak, 0.5f);
    EXPECT_FLOAT_EQ(info.channels[1].rms, float(std::sqrt(0.25 * 4997 / 5000)));
}

TEST_F(AudioIOTest, ChannelCountAndEmptyFilesAreChecked) {
    const std::string message = "The file is empty or has more than 128 channels.";
    const auto wide = dir / "wide.wav";
    test::writeSndFile(wide, test::Planes(129, std::vector<float>(10, 0.1f)), 48000, kWav16);
    EXPECT_EQ(failureText([&] { AudioIO::analyze(wide); }), message);

    const auto widest = dir / "widest.wav";
    test::writeSndFile(widest, test::Planes(128, std::vector<float>(10, 0.1f)), 48000, kWav16);
    EXPECT_EQ(AudioIO::analyze(widest).channels.size(), 128u);

    const auto empty = dir / "empty.wav";
    test::writeSndFile(empty, test::Planes(2, std::vector<float>()), 48000, kWav16);
    EXPECT_EQ(failureText([&] { AudioIO::analyze(empty); }), message);
}

TEST_F(AudioIOTest, BadPathsAndNonAudioFailWithoutCrashing) {
    EXPECT_THROW(AudioIO::analyze(dir / "missing.wav"), std::exception);
    EXPECT_THROW(AudioIO::analyze(dir.path()), std::exception);
    test::writeFile(dir / "zero.wav", "");
    EXPECT_THROW(AudioIO::analyze(dir / "zero.wav"), std::exception);
    test::writeFile(dir / "text.txt", "just some words, not audio at all\n");
    EXPECT_THROW(AudioIO::analyze(dir / "text.txt"), std::exception);
    // A WAV header that promises far more audio than the file holds.
    test::Bytes header;
    header.text("RIFF").u32(0x7FFFFFF0).text("WAVE").chunk("fmt ", test::pcm16Format(2, 48000));
    header.text("data").u32(0x7FFFFF00).zeros(100);
    test::writeBytes(dir / "lying.wav", header.data);
    try {
        const AudioInfo info = AudioIO::analyze(dir / "lying.wav");
        EXPECT_LE(info.frameCount, 25);
    } catch (const std::exception&) {
        SUCCEED();
    }
}

TEST_F(AudioIOTest, RefusalsNameTheFileInAUsersWords) {
    const auto messageOf = [](const std::function<void()>& action) -> std::string {
        try {
            action();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no error)";
    };
    const auto missing = messageOf([&] { AudioIO::analyze(dir / "missing.wav"); });
    EXPECT_NE(missing.find("missing.wav\u201d: it does not exist."), std::string::npos) << missing;
    const auto folder = messageOf([&] { AudioIO::open(dir.path()); });
    EXPECT_NE(folder.find("it is a folder"), std::string::npos) << folder;
    test::writeFile(dir / "text.wav", "just some words, not audio at all\n");
    const auto text = messageOf([&] { AudioIO::open(dir / "text.wav"); });
    EXPECT_EQ(text.rfind("Could not open \u201c", 0), 0u) << text;
    EXPECT_NE(text.find("text.wav\u201d: it is not an audio file"), std::string::npos) << text;
    // The library's own words come on a second line at most.
    EXPECT_NE(text.find("\n(libsndfile: "), std::string::npos) << text;
    test::writeFile(dir / "private.wav", "x");
    fs::permissions(dir / "private.wav", fs::perms::none);
    if (::geteuid() != 0) {
        const auto denied = messageOf([&] { AudioIO::open(dir / "private.wav"); });
        EXPECT_NE(denied.find("you do not have permission"), std::string::npos) << denied;
    }
    if (fs::exists("/dev/full")) {
        const auto full = messageOf([&] {
            auto out = AudioIO::writer("/dev/full", 48000, 2, 32);
            AudioBuffer block(2, 32768);
            block.setFrameLength(32768);
            out->write(block);
            out->close();
        });
        EXPECT_NE(full.find("full\u201d: the disk is full."), std::string::npos) << full;
    }
    const auto noFolder =
        messageOf([&] { AudioIO::writer(dir / "none" / "out.wav", 48000, 1, 24); });
    EXPECT_NE(noFolder.find("does not exist"), std::string::npos) << noFolder;
}

TEST_F(AudioIOTest, AFileThatBreaksWhileReadingIsNamedOnceInTheUsersWords) {
    // A FLAC whose frames turn to noise a third of the way in: it opens, then its decoder loses
    // sync. The refusal is complete as it stands; no library heading goes above it.
    const fs::path path = dir / "lost.flac";
    test::writeSndFile(path, test::testSignal(2, 48000 * 5, 48000), 48000,
                       SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::vector<uint8_t> bytes = test::readBytes(path);
    for (size_t i = bytes.size() / 3; i < bytes.size(); ++i)
        bytes[i] = uint8_t((i * 7919) % 251);
    test::writeBytes(path, bytes);
    try {
        AudioIO::analyze(path);
        ADD_FAILURE() << "read to the end";
    } catch (const AudioFailure& failure) {
        const std::string text = failure.what();
        EXPECT_EQ(text.substr(0, text.find('\n')),
                  "Could not read \u201clost.flac\u201d: the file is damaged or cut short.");
        EXPECT_NE(text.find("\n(libsndfile: "), std::string::npos) << text;
        EXPECT_EQ(describeFailure(failure), text);
    } catch (const std::exception& other) {
        ADD_FAILURE() << "not a user-facing refusal: " << other.what();
    }
}

TEST_F(AudioIOTest, FilesNeitherDecoderKnowsAreRefusedInTheUsersWordsNotAsALibraryFailure) {
    // Bytes no audio or video format starts with, under names of every kind.
    std::string junk(4096, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = char((i * 7919 + 13) % 251);
    for (const std::string name : {"x.foo", "notes.wav", "clip.mov", "no-extension"}) {
        test::writeFile(dir / name, junk);
        try {
            AudioIO::open(dir / name);
            ADD_FAILURE() << name << " opened";
        } catch (const AudioFailure& failure) {
            // One sentence naming the file, the library's words on a second line at most.
            const std::string text = failure.what();
            const auto lineEnd = text.find('\n');
            const std::string first = text.substr(0, lineEnd);
            EXPECT_EQ(first, "Could not open \u201c" + name +
                                 "\u201d: it is not an audio file Corvaline can read, or it is "
                                 "damaged.");
            ASSERT_NE(lineEnd, std::string::npos) << text;
            EXPECT_EQ(text.find('\n', lineEnd + 1), std::string::npos) << text;
            EXPECT_EQ(text.rfind("\n(libsndfile: ", lineEnd), lineEnd) << text;
        } catch (const std::exception& other) {
            ADD_FAILURE() << name << ": not a user-facing refusal: " << other.what();
        }
    }
}

/// Cuts `path` so that its audio ends after `frames` frames and half of the next one, as a
/// recorder that lost power mid-write leaves it. `marker` starts the chunk the audio is in
/// ("data", or "SSND" whose body starts with 8 bytes of offset and block size).
void cutAudioAfter(const fs::path& path, const std::string& marker, int64_t frames,
                   int bytesPerFrame) {
    const std::vector<uint8_t> bytes = test::readBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t chunk = text.find(marker, 12);
    ASSERT_NE(chunk, std::string::npos) << path;
    const size_t audio = chunk + 8 + (marker == "SSND" ? 8 : 0);
    const auto length = off_t(audio + size_t(frames * bytesPerFrame) + size_t(bytesPerFrame / 2));
    ASSERT_LT(size_t(length), bytes.size()) << path;
    ASSERT_EQ(::truncate(path.c_str(), length), 0) << path;
}

TEST_F(AudioIOTest, RecordingsCutShortImportWhatIsPresentAndSayHowMuch) {
    // A minute recorded, the recorder stopped writing 41.3 s in: WAV, RF64 and AIFF alike.
    struct Case {
        const char* name;
        int format;
        const char* marker;
        int bytesPerFrame;
    };
    const int64_t recorded = 60 * 48000;
    const int64_t present = 413 * 4800;
    const test::Planes planes = test::testSignal(2, recorded, 48000);
    for (const Case& c :
         {Case{"take.wav", kWav16, "data", 4}, Case{"float take.wav", kWavFloat, "data", 8},
          Case{"long take.wav", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, "data", 6},
          Case{"take.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "SSND", 4}}) {
        const fs::path path = dir / c.name;
        test::writeSndFile(path, planes, 48000, c.format);
        cutAudioAfter(path, c.marker, present, c.bytesPerFrame);

        const AudioInfo info = AudioIO::analyze(path);
        EXPECT_EQ(info.frameCount, present) << c.name;
        ASSERT_EQ(info.warnings.size(), 1u) << c.name;
        EXPECT_EQ(info.warnings[0],
                  "\u201c" + std::string(c.name) +
                      "\u201d is damaged: its header promises 1:00.0 but only 0:41.3 is present; "
                      "Corvaline imports the part that is present.");
        // The same words for a file opened without an import (the command line's render).
        const auto reader = AudioIO::open(path);
        EXPECT_EQ(AudioIO::warnings(path, *reader), info.warnings) << c.name;

        // The present part is the recording, to its last whole frame.
        reader->seek(present - 4);
        AudioBuffer tail(2, 16);
        ASSERT_EQ(reader->read(tail, 16), 4u) << c.name;
        EXPECT_NEAR(tail.channel(1)[3], planes[1][size_t(present - 1)], 1e-4) << c.name;
    }
}

TEST_F(AudioIOTest, ABroadcastWaveCutShortKeepsItsMetadataAndCountsHours) {
    // Recorder order: bext, fmt, data promising 1:02:03.4 at 8 kHz; 12345 frames were written.
    const uint32_t promised = 37234 * 800;
    test::Bytes bytes;
    bytes.text("RIFF").u32(0).text("WAVE").chunk("bext", test::bextBody("Recorder", 960000));
    bytes.chunk("fmt ", test::pcm16Format(1, 8000)).text("data").u32(promised * 2);
    for (int i = 0; i < 12345; ++i)
        bytes.u16(uint16_t(i * 37));
    test::writeBytes(dir / "scene 4.wav", bytes.data);

    const AudioInfo info = AudioIO::analyze(dir / "scene 4.wav");
    EXPECT_EQ(info.frameCount, 12345);
    EXPECT_EQ(info.metadata.originator, "Recorder");
    ASSERT_EQ(info.warnings.size(), 1u);
    EXPECT_EQ(info.warnings[0],
              "\u201cscene 4.wav\u201d is damaged: its header promises 1:02:03.4 but only 0:01.5 "
              "is present; Corvaline imports the part that is present.");

    // Cut before the first frame: nothing to import, and the refusal says why.
    bytes.data.resize(bytes.data.size() - 12345 * 2);
    test::writeBytes(dir / "scene 5.wav", bytes.data);
    EXPECT_EQ(failureText([&] { AudioIO::analyze(dir / "scene 5.wav"); }),
              "\u201cscene 5.wav\u201d is damaged: its header promises 1:02:03.4 but no audio is "
              "present.");
}

TEST_F(AudioIOTest, WholeFilesOfEveryLayoutHaveNoWarning) {
    const test::Planes planes = test::testSignal(2, 48000, 48000);
    for (const auto& [name, format] : std::vector<std::pair<std::string, int>>{
             {"pcm.wav", kWav16},
             {"float.wav", kWavFloat},
             {"rf64.wav", SF_FORMAT_RF64 | SF_FORMAT_PCM_24},
             {"adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM},
             {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW},
             {"pcm.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
             {"float.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
             {"pcm.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}}) {
        test::writeSndFile(dir / name, planes, 48000, format);
        const AudioInfo info = AudioIO::analyze(dir / name);
        EXPECT_TRUE(info.warnings.empty()) << name << ": " << info.warnings[0];
    }
    // Chunks after the audio (a recorder's iXML) are not audio that went missing.
    test::Bytes bytes;
    bytes.text("RIFF").u32(0).text("WAVE").chunk("fmt ", test::pcm16Format(1, 48000));
    bytes.chunk("data", std::vector<uint8_t>(2000, 1));
    bytes.chunk("iXML", test::toBytes("<BWFXML><SCENE>1</SCENE></BWFXML>"));
    test::writeBytes(dir / "ixml.wav", bytes.data);
    EXPECT_TRUE(AudioIO::analyze(dir / "ixml.wav").warnings.empty());
}

TEST_F(AudioIOTest, StoredBitDepthAndFormatsReadThroughLibsndfile) {
    struct Case {
        const char* name;
        int format;
        int bits;
    };
    const test::Planes planes = test::testSignal(2, 3000, 48000);
    for (const Case& c :
         {Case{"a.wav", kWav16, 16}, Case{"b.wav", kWav24, 24}, Case{"c.wav", kWavFloat, 32},
          Case{"d.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 24},
          Case{"e.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 16},
          Case{"f.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24},
          Case{"g.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, 24}}) {
        const auto path = dir / c.name;
        test::writeSndFile(path, planes, 48000, c.format);
        const AudioInfo info = AudioIO::analyze(path);
        EXPECT_EQ(info.bitDepth, c.bits) << c.name;
        EXPECT_EQ(info.frameCount, 3000) << c.name;
        EXPECT_EQ(info.channels.size(), 2u) << c.name;
        EXPECT_NEAR(info.channels[0].peak, 0.5, 0.01) << c.name;
        EXPECT_TRUE(info.metadata.chunks.empty()) << c.name;
    }
}

TEST_F(AudioIOTest, RecorderTrackNamesNameTheChannels) {
    const auto path = dir / "recorder.wav";
    test::writeSndFile(path, test::testSignal(4, 2000, 48000), 48000, kWav24);
    WaveMetadata meta;
    const std::string xml =
        "<BWFXML><SCENE>7</SCENE><TRACK_LIST>"
        "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><NAME>Boom</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>2</CHANNEL_INDEX><NAME>Lav</NAME></TRACK>"
        "</TRACK_LIST></BWFXML>";
    meta.chunks = {WaveChunk{"iXML", test::toBytes(xml)}};
    meta.append(path);  // after the audio, as recorders often do
    const AudioInfo info = AudioIO::analyze(path);
    ASSERT_EQ(info.channels.size(), 4u);
    EXPECT_EQ(info.channels[0].name, "Boom");
    EXPECT_EQ(info.channels[1].name, "Lav");
    EXPECT_EQ(info.channels[2].name, "Channel 3");
    EXPECT_EQ(info.channels[3].name, "Channel 4");
    EXPECT_EQ(info.metadata.scene, "7");
    EXPECT_EQ(info.url, path);
    EXPECT_EQ(info.sourceURL, path);
    EXPECT_FALSE(info.isVideo());
}

TEST_F(AudioIOTest, AnalyzeStopsWhenCancelled) {
    const auto path = dir / "c.wav";
    test::writeSndFile(path, test::testSignal(1, 1000, 48000), 48000, kWav16);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(AudioIO::analyze(path, stop.get_token()), Cancelled);
}

TEST_F(AudioIOTest, ReadExactlyFailsAtAnEarlyEndWithoutSettingTheLength) {
    const auto path = dir / "r.wav";
    const test::Planes planes = test::testSignal(2, 1000, 48000);
    test::writeSndFile(path, planes, 48000, kWavFloat);
    auto file = AudioIO::open(path);
    AudioBuffer target(2, 200), scratch(2, 200);
    file->seek(100);
    AudioIO::readExactly(*file, target, scratch, 200);
    ASSERT_EQ(target.frameLength(), 200u);
    for (int c = 0; c < 2; ++c) {
        for (uint32_t i = 0; i < 200; ++i) {
            ASSERT_EQ(target.channel(c)[i], planes[size_t(c)][100 + i]);
        }
    }
    file->seek(950);
    target.setFrameLength(7);
    EXPECT_EQ(failureText([&] { AudioIO::readExactly(*file, target, scratch, 100); }),
              "Audio ended before its declared frame count.");
    EXPECT_EQ(target.frameLength(), 7u);
    // Buffers that cannot hold the request are refused instead of overrun.
    AudioBuffer small(2, 10);
    EXPECT_THROW(AudioIO::readExactly(*file, small, scratch, 100), std::invalid_argument);
}

TEST_F(AudioIOTest, ExtractReproducesSamplesExactly) {
    const int64_t frames = 80'000;  // more than two blocks
    const test::Planes planes = test::testSignal(3, frames, 48000, 0.9f);
    const auto source = dir / "src.wav";
    test::writeSndFile(source, planes, 48000, kWavFloat);
    const auto before = test::readBytes(source);

    const auto whole = dir / "whole.wav";
    AudioIO::extract(source, whole, AudioFrameRange::make(0, frames));
    EXPECT_EQ(test::readSndFile(whole), planes);

    const auto part = dir / "part.caf";
    AudioIO::extract(source, part, AudioFrameRange::make(33'000, 70'001));
    const test::Planes got = test::readSndFile(part);
    ASSERT_EQ(got.size(), 3u);
    ASSERT_EQ(got[0].size(), 37'001u);
    for (size_t c = 0; c < 3; ++c) {
        EXPECT_TRUE(std::equal(got[c].begin(), got[c].end(), planes[c].begin() + 33'000));
    }
    const AudioInfo partInfo = AudioIO::analyze(part);
    EXPECT_EQ(partInfo.bitDepth, 32);

    EXPECT_EQ(failureText([&] {
                  AudioIO::extract(source, dir / "x.wav", AudioFrameRange::make(10, frames + 1));
              }),
              "The preview range extends beyond the recording.");
    EXPECT_EQ(failureText([&] {
                  AudioIO::extract(source, dir / "y.wav", AudioFrameRange{5, 5});
              }),
              "Choose a non-empty audio range.");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(
        AudioIO::extract(source, dir / "z.wav", AudioFrameRange::make(0, frames), stop.get_token()),
        Cancelled);
    // The source is only ever read.
    AudioIO::analyze(source);
    WaveMetadata::read(source);
    EXPECT_EQ(test::readBytes(source), before);
}

TEST_F(AudioIOTest, WriterClipsIntegerOutputAndKeepsFloatOutput) {
    AudioBuffer block(1, 5);
    const float values[5] = {1.5f, -1.5f, 1.0f, -1.0f, 0.5f};
    std::copy_n(values, 5, block.channel(0));
    block.setFrameLength(5);
    for (const char* name : {"clip.wav", "clip.caf"}) {
        const auto path = dir / name;
        auto out = AudioIO::writer(path, 48000, 1, 24);
        out->write(block);
        EXPECT_EQ(out->framesWritten(), 5);
        out->close();
        SF_INFO info{};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_24);
        int samples[5] = {};
        ASSERT_EQ(sf_read_int(file, samples, 5), 5);
        sf_close(file);
        // 24-bit values left-justified in 32 bits: full scale, never wrapped around.
        EXPECT_EQ(samples[0], 0x7FFFFF00) << name;
        EXPECT_EQ(samples[1], int(0x80000000)) << name;
        EXPECT_EQ(samples[2], 0x7FFFFF00) << name;
        EXPECT_EQ(samples[3], int(0x80000000)) << name;
        EXPECT_EQ(samples[4], 0x40000000) << name;
    }
    EXPECT_EQ(test::readBytes(dir / "clip.caf")[0], 'c');
    EXPECT_EQ(test::readBytes(dir / "clip.wav")[0], 'R');

    const auto floatPath = dir / "float.wav";
    auto out = AudioIO::writer(floatPath, 96000, 1, 32);
    out->write(block, 1, 3);  // offset write
    out->close();
    const test::Planes planes = test::readSndFile(floatPath);
    EXPECT_EQ(planes[0], (std::vector<float>{-1.5f, 1.0f, -1.0f}));
    EXPECT_EQ(AudioIO::analyze(floatPath).sampleRate, 96000.0);

    EXPECT_THROW(AudioIO::writer(dir / "bad.wav", 48000, 1, 16), std::invalid_argument);
    EXPECT_THROW(out->write(block), std::exception);  // after close
}

TEST_F(AudioIOTest, WriteErrorsAreRaised) {
    // The full device refuses every byte: creating or writing must fail, never pass silently.
    if (fs::exists("/dev/full")) {
        EXPECT_THROW(
            {
                auto out = AudioIO::writer("/dev/full", 48000, 2, 32);
                AudioBuffer block(2, 32768);
                block.setFrameLength(32768);
                out->write(block);
                out->close();
            },
            std::exception);
    }
    // A file size limit stops the writer part way through.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 1 << 20;
    auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    bool failed = false;
    try {
        auto out = AudioIO::writer(dir / "limited.wav", 48000, 2, 32);
        AudioBuffer block(2, 32768);
        block.setFrameLength(32768);
        for (int i = 0; i < 10; ++i)
            out->write(block);  // 2.5 MB
        out->close();
    } catch (const std::exception&) {
        failed = true;
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    EXPECT_TRUE(failed);
}

TEST_F(AudioIOTest, RenderedWavTakesRecorderChunksAndStaysReadable) {
    const auto path = dir / "render.wav";
    auto out = AudioIO::writer(path, 48000, 2, 24);
    AudioBuffer block(2, 1001);
    std::fill_n(block.channel(0), 1001, 0.25f);
    block.setFrameLength(1001);  // odd data size: the writer pads it
    out->write(block);
    out->close();
    WaveMetadata meta;
    const std::string xml =
        "<BWFXML><TRACK_LIST><TRACK><CHANNEL_INDEX>2</CHANNEL_INDEX><NAME>Lav</NAME></TRACK>"
        "</TRACK_LIST></BWFXML>";
    meta.chunks = {WaveChunk{"bext", test::bextBody("Desk", 480000)},
                   WaveChunk{"iXML", test::toBytes(xml)}};
    meta.append(path);
    const AudioInfo info = AudioIO::analyze(path);
    EXPECT_EQ(info.frameCount, 1001);
    EXPECT_EQ(info.bitDepth, 24);
    EXPECT_EQ(info.channels[0].name, "Channel 1");
    EXPECT_EQ(info.channels[1].name, "Lav");
    EXPECT_EQ(info.metadata.chunks, meta.chunks);
    EXPECT_EQ(info.metadata.timeReference, 480000u);
    EXPECT_EQ(info.channels[0].peak, 0.25f);
}

// The demo generator recomputed independently from its definition.
float demoSample(int channel, int64_t frame) {
    const int64_t block = frame / 4800;
    const int64_t index = block * 4 * 4800 + channel * 4800 + frame % 4800;  // advances before
    uint64_t r = 42;
    for (int64_t k = 0; k <= index; ++k)
        r = r * 6364136223846793005ULL + 1;
    const double t = double(frame) / 48000.0;
    const double w = 2.0 * std::numbers::pi * t;
    const double tone = std::sin((83.0 * channel + 130.0) * w) + 0.25 * std::sin(880.0 * w);
    const double envelope = std::pow(std::max(0.0, std::sin(0.5 * channel + 2.4 * t)), 2);
    const float noise = float(std::floor(double(r) / 8589934592.0) / 4294967295.0 - 0.25) * 0.07f;
    return noise + float(0.25 * tone * envelope);
}

TEST_F(AudioIOTest, DemoWritesTheSyntheticRecordingExactly) {
    const auto path = dir / "demo.wav";
    AudioIO::demo(path);
    const AudioInfo info = AudioIO::analyze(path);
    EXPECT_EQ(info.frameCount, 120 * 4800);
    EXPECT_EQ(info.sampleRate, 48000.0);
    EXPECT_EQ(info.channels.size(), 4u);
    EXPECT_EQ(info.bitDepth, 32);
    const test::Planes planes = test::readSndFile(path);
    for (int c = 0; c < 4; ++c) {
        for (int64_t frame : {0, 1, 4799, 4800, 100'000, 575'999}) {
            const float expected = demoSample(c, frame);
            EXPECT_TRUE(sameBits(planes[size_t(c)][size_t(frame)], expected))
                << "channel " << c << " frame " << frame << ": " << planes[size_t(c)][size_t(frame)]
                << " vs " << expected;
        }
    }
    // The envelopes differ per channel; every channel carries signal.
    for (const ChannelInfo& channel : info.channels)
        EXPECT_GT(channel.peak, 0.2f);
}

}  // namespace
}  // namespace corvaline
