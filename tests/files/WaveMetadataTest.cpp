// Reading and appending WAV recorder metadata on hand-built chunk layouts.

#include <gtest/gtest.h>

#include <random>

#include "FileFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/WaveMetadata.hpp"

namespace corvaline {
namespace {

using test::Bytes;
using test::toBytes;

const std::string kIxml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><BWFXML><SCENE>12A</SCENE><TAKE>3</TAKE>"
    "<TRACK_LIST><TRACK_COUNT>4</TRACK_COUNT>"
    "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><NAME>Boom</NAME></TRACK>"
    "<TRACK><CHANNEL_INDEX>2</CHANNEL_INDEX><NAME>Lav <![CDATA[Anna]]></NAME></TRACK>"
    "</TRACK_LIST></BWFXML>";

// RIFF header + chunks; the RIFF size is fixed up to the real length.
std::vector<uint8_t> wave(const Bytes& chunks, const std::string& form = "RIFF") {
    Bytes b;
    b.text(form).u32(uint32_t(chunks.data.size() + 4)).text("WAVE").raw(chunks.data);
    return b.data;
}

class WaveMetadataTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::filesystem::path file(const std::vector<uint8_t>& bytes,
                               const std::string& name = "a.wav") {
        const auto path = dir / name;
        test::writeBytes(path, bytes);
        return path;
    }
};

TEST_F(WaveMetadataTest, ChunksAfterTheAudioAreFoundAndKeptInFileOrder) {
    Bytes chunks;
    chunks.chunk("fmt ", test::pcm16Format(2, 48000))
        .chunk("bext", test::bextBody("Recorder\0\0  ", 173059200))
        .chunk("LIST", toBytes("INFOISFT"))
        .chunk("data", std::vector<uint8_t>(4003, 7))  // odd: padded
        .chunk("JUNK", std::vector<uint8_t>(10))
        .chunk("iXML", toBytes(kIxml))
        .chunk("axml", toBytes("<ebuCore/>"));
    const auto meta = WaveMetadata::read(file(wave(chunks)));
    ASSERT_EQ(meta.chunks.size(), 3u);
    EXPECT_EQ(meta.chunks[0].name, "bext");
    EXPECT_EQ(meta.chunks[0].data, test::bextBody("Recorder\0\0  ", 173059200));
    EXPECT_EQ(meta.chunks[1].name, "iXML");
    EXPECT_EQ(meta.chunks[1].data, toBytes(kIxml));
    EXPECT_EQ(meta.chunks[2].name, "axml");
    EXPECT_EQ(meta.scene, "12A");
    EXPECT_EQ(meta.take, "3");
    EXPECT_EQ(meta.channelNames, (std::vector<std::string>{"Boom", "Lav Anna"}));
    EXPECT_EQ(meta.originator, "Recorder");
    EXPECT_EQ(meta.timeReference, 173059200u);
}

TEST_F(WaveMetadataTest, OriginatorIsTrimmedOfPaddingAndTimeReferenceUsesBothHalves) {
    std::string originator = "  \tRecorder";
    originator += std::string("\0\0 \0", 4);
    const uint64_t reference = (uint64_t(3) << 32) | 0x89ABCDEFu;
    Bytes chunks;
    chunks.chunk("bext", test::bextBody(originator, reference));
    const auto meta = WaveMetadata::read(file(wave(chunks)));
    EXPECT_EQ(meta.originator, "Recorder");
    EXPECT_EQ(meta.timeReference, reference);

    // A short bext is still preserved but interpreted for nothing.
    Bytes shortBext;
    shortBext.chunk("bext", test::bextBody("Recorder", 5, 300));
    const auto shortMeta = WaveMetadata::read(file(wave(shortBext), "b.wav"));
    ASSERT_EQ(shortMeta.chunks.size(), 1u);
    EXPECT_EQ(shortMeta.chunks[0].data.size(), 300u);
    EXPECT_EQ(shortMeta.originator, "");
    EXPECT_FALSE(shortMeta.timeReference);

    // Invalid UTF-8 in the originator is repaired, not rejected.
    Bytes badText;
    badText.chunk("bext", test::bextBody("Rec\xFForder", 1));
    EXPECT_EQ(WaveMetadata::read(file(wave(badText), "c.wav")).originator, "Rec\xEF\xBF\xBDorder");
}

TEST_F(WaveMetadataTest, IxmlTrackIndexesPadSkipAndReplace) {
    const std::string xml =
        "<BWFXML><TRACK_LIST>"
        "<TRACK><CHANNEL_INDEX>2</CHANNEL_INDEX><NAME>Two</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>4</CHANNEL_INDEX><NAME>Four</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>0</CHANNEL_INDEX><NAME>Zero</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>300</CHANNEL_INDEX><NAME>Big</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>-1</CHANNEL_INDEX><NAME>Negative</NAME></TRACK>"
        "</TRACK_LIST></BWFXML>";
    Bytes chunks;
    chunks.chunk("iXML", toBytes(xml));
    auto meta = WaveMetadata::read(file(wave(chunks)));
    EXPECT_EQ(meta.channelNames, (std::vector<std::string>{"", "Two", "", "Four"}));
    EXPECT_EQ(meta.scene, "");

    // No index (or a non-integer one) takes the next position; a repeated index replaces.
    const std::string next =
        "<X><TRACK_LIST><TRACK><NAME>A</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX> 2</CHANNEL_INDEX><NAME>B</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><NAME>A2</NAME></TRACK>"
        "<TRACK><CHANNEL_INDEX>256</CHANNEL_INDEX></TRACK></TRACK_LIST></X>";
    Bytes more;
    more.chunk("iXML", toBytes(next));
    meta = WaveMetadata::read(file(wave(more), "b.wav"));
    ASSERT_EQ(meta.channelNames.size(), 256u);
    EXPECT_EQ(meta.channelNames[0], "A2");
    EXPECT_EQ(meta.channelNames[1], "B");
    EXPECT_EQ(meta.channelNames[255], "");

    // Malformed XML: the chunk is kept, nothing is taken from it.
    Bytes broken;
    broken.chunk("iXML", toBytes("<BWFXML><SCENE>1</TAKE>"));
    meta = WaveMetadata::read(file(wave(broken), "c.wav"));
    ASSERT_EQ(meta.chunks.size(), 1u);
    EXPECT_EQ(meta.scene, "");
}

TEST_F(WaveMetadataTest, Rf64DataIsSkippedByItsDs64Size) {
    const std::vector<uint8_t> audio(5001, 1);
    Bytes ds64;
    ds64.u64(0).u64(audio.size()).u64(2500).u32(1).text("axml").u64(6);
    Bytes chunks;
    chunks.chunk("ds64", ds64.data)
        .chunk("fmt ", test::pcm16Format(1, 48000))
        .chunk("data", audio, 0xFFFFFFFF)
        .chunk("axml", toBytes("<a/>xy"), 0xFFFFFFFF)  // size taken from the table
        .chunk("iXML", toBytes("<X><SCENE>S</SCENE></X>"));
    for (const char* form : {"RF64", "BW64"}) {
        const auto meta = WaveMetadata::read(file(wave(chunks, form), std::string(form) + ".wav"));
        ASSERT_EQ(meta.chunks.size(), 2u) << form;
        EXPECT_EQ(meta.chunks[0].data, toBytes("<a/>xy"));
        EXPECT_EQ(meta.scene, "S");
    }
}

TEST_F(WaveMetadataTest, SizesBeyondTheFileNeverWrapIntoTheAudio) {
    // The audio payload holds bytes that look like an iXML chunk. A ds64 data size of
    // 2^64 - 1 (or 2^64 - 2, even, so without a pad) must end the walk, not wrap to a skip of
    // zero and read the audio as chunks.
    Bytes inside;
    inside.chunk("iXML", toBytes("<X><SCENE>Invented</SCENE></X>"));
    for (const uint64_t size : {~uint64_t(0), ~uint64_t(0) - 1, uint64_t(1) << 63}) {
        Bytes ds64;
        ds64.u64(0).u64(size).u64(0).u32(0);
        Bytes chunks;
        chunks.chunk("ds64", ds64.data)
            .chunk("bext", test::bextBody("A", 1))
            .chunk("data", inside.data, 0xFFFFFFFF, false);
        const auto meta = WaveMetadata::read(file(wave(chunks, "RF64"), "wrap.wav"));
        ASSERT_EQ(meta.chunks.size(), 1u) << size;
        EXPECT_EQ(meta.chunks[0].name, "bext");
        EXPECT_EQ(meta.scene, "");
    }
    // The same through a ds64 table entry for an ordinary chunk.
    Bytes ds64;
    ds64.u64(0).u64(0).u64(0).u32(1).text("JUNK").u64(~uint64_t(0));
    Bytes chunks;
    chunks.chunk("ds64", ds64.data).chunk("JUNK", inside.data, 0xFFFFFFFF, false);
    EXPECT_TRUE(WaveMetadata::read(file(wave(chunks, "RF64"), "junk.wav")).chunks.empty());
}

TEST_F(WaveMetadataTest, DeeplyNestedIxmlIsReadWithoutRecursion) {
    // About 50 000 levels inside SCENE, TAKE and a track NAME: a recursive text walk
    // overflows the stack here.
    const int depth = 300000;
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        open += "<a>";
        close += "</a>";
    }
    const std::string ixml = "<X><SCENE>" + open + "deep" + close + "</SCENE><TAKE>" + open + "7" +
                             close + "</TAKE><TRACK_LIST><TRACK><NAME>" + open + "Boom" + close +
                             "</NAME></TRACK></TRACK_LIST></X>";
    Bytes chunks;
    chunks.chunk("iXML", toBytes(ixml));
    const auto meta = WaveMetadata::read(file(wave(chunks)));
    EXPECT_EQ(meta.scene, "deep");
    EXPECT_EQ(meta.take, "7");
    EXPECT_EQ(meta.channelNames, (std::vector<std::string>{"Boom"}));
}

TEST_F(WaveMetadataTest, UnresolvedSizesTruncationAndOversizeStopOrSkip) {
    // A plain RIFF whose data size is unknown: parsing stops there, earlier chunks remain.
    Bytes unknown;
    unknown.chunk("bext", test::bextBody("A", 1))
        .chunk("data", std::vector<uint8_t>(100), 0xFFFFFFFF)
        .chunk("iXML", toBytes("<X/>"));
    auto meta = WaveMetadata::read(file(wave(unknown)));
    ASSERT_EQ(meta.chunks.size(), 1u);
    EXPECT_EQ(meta.chunks[0].name, "bext");

    // A preserved chunk cut short by the end of the file stops parsing.
    Bytes cut;
    cut.chunk("axml", toBytes("<a/>")).chunk("iXML", toBytes("<X/>"), 1000, false);
    meta = WaveMetadata::read(file(wave(cut), "b.wav"));
    ASSERT_EQ(meta.chunks.size(), 1u);
    EXPECT_EQ(meta.chunks[0].name, "axml");

    // A truncated chunk header ends the list quietly.
    auto halfHeader = wave(Bytes().chunk("axml", toBytes("<a/>")));
    halfHeader.insert(halfHeader.end(), {'i', 'X', 'M'});
    EXPECT_EQ(WaveMetadata::read(file(halfHeader, "c.wav")).chunks.size(), 1u);

    // An axml above 16 MiB is skipped, not kept, and what follows it is still found.
    Bytes big;
    big.chunk("axml", std::vector<uint8_t>(20u << 20, 'x')).chunk("iXML", toBytes("<X/>"));
    meta = WaveMetadata::read(file(wave(big), "d.wav"));
    ASSERT_EQ(meta.chunks.size(), 1u);
    EXPECT_EQ(meta.chunks[0].name, "iXML");

    // Identifiers are case-sensitive.
    Bytes cased;
    cased.chunk("BEXT", test::bextBody("A", 1)).chunk("ixml", toBytes("<X/>"));
    EXPECT_TRUE(WaveMetadata::read(file(wave(cased), "e.wav")).chunks.empty());
}

TEST_F(WaveMetadataTest, NonWaveFilesGiveTheEmptyValueAndMissingFilesThrow) {
    EXPECT_EQ(WaveMetadata::read(file(toBytes("RIFF\x04\0\0\0WAV"), "short.wav")), WaveMetadata());
    Bytes aiff;
    aiff.text("FORM").u32(4).text("AIFF");
    EXPECT_EQ(WaveMetadata::read(file(aiff.data, "a.aiff")), WaveMetadata());
    Bytes notWave;
    notWave.text("RIFF").u32(4).text("AVI ").chunk("bext", test::bextBody("A", 1));
    EXPECT_EQ(WaveMetadata::read(file(notWave.data, "a.avi")), WaveMetadata());
    EXPECT_THROW(WaveMetadata::read(dir / "missing.wav"), std::exception);
}

TEST_F(WaveMetadataTest, Uint32ReadsLittleEndianAndIsZeroOutOfBounds) {
    const std::vector<uint8_t> bytes = {0x78, 0x56, 0x34, 0x12, 0xFF};
    EXPECT_EQ(WaveMetadata::uint32(bytes, 0), 0x12345678u);
    EXPECT_EQ(WaveMetadata::uint32(bytes, 1), 0xFF123456u);
    EXPECT_EQ(WaveMetadata::uint32(bytes, 2), 0u);
    EXPECT_EQ(WaveMetadata::uint32(bytes, SIZE_MAX - 1), 0u);
    EXPECT_EQ(WaveMetadata::uint32({}, 0), 0u);
}

TEST_F(WaveMetadataTest, AppendWritesPaddedChunksAndFixesTheRiffSize) {
    Bytes base;
    base.chunk("fmt ", test::pcm16Format(1, 48000)).chunk("data", std::vector<uint8_t>(20, 3));
    const auto original = wave(base);
    const auto path = file(original);
    WaveMetadata meta;
    meta.chunks = {WaveChunk{"axml", toBytes("abc")}, WaveChunk{"iXML", toBytes("<X/>")}};
    meta.append(path);
    const auto written = test::readBytes(path);
    ASSERT_EQ(written.size(), original.size() + 8 + 3 + 1 + 8 + 4);
    EXPECT_TRUE(std::equal(original.begin() + 8, original.end(), written.begin() + 8));
    EXPECT_EQ(WaveMetadata::uint32(written, 4), written.size() - 8);
    EXPECT_EQ(written[original.size() + 11], 0);  // pad byte after the 3-byte body
    // What was appended reads back as the same chunks.
    EXPECT_EQ(WaveMetadata::read(path).chunks, meta.chunks);
}

TEST_F(WaveMetadataTest, AppendRefusesNonRiffFilesAndDoesNothingWithoutChunks) {
    WaveMetadata meta;
    meta.chunks = {WaveChunk{"bext", test::bextBody("A", 1)}};
    const std::string message =
        "Metadata export currently requires a standard WAV smaller than 4 GB.";
    Bytes aiff;
    aiff.text("FORM").u32(4).text("AIFF");
    Bytes rf64Body;
    rf64Body.chunk("ds64", std::vector<uint8_t>(28));
    for (const auto& bytes : {aiff.data, wave(rf64Body, "RF64"), toBytes("RIFF")}) {
        const auto path = file(bytes, "x.wav");
        try {
            meta.append(path);
            FAIL() << "append accepted a file that is not a standard WAV";
        } catch (const AudioFailure& e) {
            EXPECT_EQ(e.message(), message);
        }
        EXPECT_EQ(test::readBytes(path), bytes);  // untouched
    }
    const auto path = file(aiff.data, "y.aiff");
    WaveMetadata().append(path);
    EXPECT_EQ(test::readBytes(path), aiff.data);
    EXPECT_NO_THROW(WaveMetadata().append(dir / "missing.wav"));

    // A chunk name that is not four bytes would corrupt the file: refused before writing.
    WaveMetadata badName;
    badName.chunks = {WaveChunk{"toolong", {1}}};
    const auto wav = file(wave(Bytes().chunk("data", {1, 2})), "z.wav");
    EXPECT_THROW(badName.append(wav), std::invalid_argument);
    EXPECT_EQ(test::readBytes(wav), wave(Bytes().chunk("data", {1, 2})));
}

TEST_F(WaveMetadataTest, AppendFailsWhenTheResultPassesFourGigabytes) {
    Bytes base;
    base.chunk("data", std::vector<uint8_t>(4));
    const auto path = file(wave(base));
    // A sparse file just below the 32-bit limit: the appended chunk pushes it over.
    std::filesystem::resize_file(path, 0xFFFFFFFFull - 8);
    WaveMetadata meta;
    meta.chunks = {WaveChunk{"axml", std::vector<uint8_t>(64)}};
    try {
        meta.append(path);
        FAIL() << "append finalised a RIFF size above 32 bits";
    } catch (const AudioFailure& e) {
        EXPECT_EQ(e.message(),
                  "The rendered WAV exceeds the 4 GB RIFF limit. Split the recording before "
                  "export.");
    }
}

// Random and mutated chunk layouts never crash the reader, and everything it preserves is
// one of the three recorder chunks within the size limit.
TEST_F(WaveMetadataTest, MutatedLayoutsNeverCrash) {
    std::mt19937 random(7);
    Bytes seed;
    Bytes ds64;
    ds64.u64(0).u64(16).u64(8).u32(2).text("bext").u64(400).text("data").u64(16);
    seed.chunk("ds64", ds64.data)
        .chunk("bext", test::bextBody("Seed", 99))
        .chunk("data", std::vector<uint8_t>(16), 0xFFFFFFFF)
        .chunk("iXML", toBytes(kIxml))
        .chunk("axml", toBytes("<a/>"));
    const auto base = wave(seed, "RF64");
    // Rewriting one file thousands of times is slow on disks that discard freed blocks;
    // memory-backed storage keeps the test quick where it exists.
    const auto path =
        std::filesystem::is_directory("/dev/shm")
            ? std::filesystem::path("/dev/shm") / (dir.path().filename().string() + ".wav")
            : dir / "fuzz.wav";
    struct Remove {
        std::filesystem::path p;
        ~Remove() { std::filesystem::remove(p); }
    } cleanup{path};
    for (int round = 0; round < 3000; ++round) {
        auto bytes = base;
        const int edits = 1 + int(random() % 8);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % bytes.size();
            switch (random() % 4) {
                case 0:
                    bytes[at] = uint8_t(random());
                    break;
                case 1:  // sizes are the interesting bytes: set one to an extreme
                    bytes[at] = (random() % 2) ? 0xFF : 0x00;
                    break;
                case 2:
                    bytes.resize(std::max<size_t>(12, at));
                    break;
                default:
                    bytes.insert(bytes.begin() + long(at), uint8_t(random()));
            }
        }
        test::writeBytes(path, bytes);
        WaveMetadata meta;
        ASSERT_NO_THROW(meta = WaveMetadata::read(path)) << "round " << round;
        for (const auto& chunk : meta.chunks) {
            EXPECT_TRUE(chunk.name == "bext" || chunk.name == "iXML" || chunk.name == "axml");
            EXPECT_LE(chunk.data.size(), 16777216u);
        }
        EXPECT_LE(meta.channelNames.size(), 256u);
    }
}

}  // namespace
}  // namespace corvaline
