// The libsndfile writer and reader move planes to and from interleaved frames: every channel
// must land in its own place for any channel count (mono straight from the plane, groups of
// four transposed, the rest one by one), any frame count and any starting frame.

#include <gtest/gtest.h>

#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

/// A sample value that tells its channel and frame apart from every other.
float marker(int channel, int64_t frame) {
    return float(channel + 1) * 0.01f + float(frame % 997) * 1e-5f;
}

}  // namespace

TEST(SndFileRoundTrip, EveryChannelKeepsItsPlaceForAnyWidthAndOffset) {
    test::TempDir dir;
    for (const int channels : {1, 2, 3, 4, 5, 8, 9}) {
        for (const bool caf : {false, true}) {
            const fs::path path =
                dir / ("round-" + std::to_string(channels) + (caf ? ".caf" : ".wav"));
            // 70001 frames: more than one internal chunk, not a multiple of 4; written from
            // frame 3 of the buffer in two uneven calls.
            constexpr uint32_t kFrames = 70001, kOffset = 3;
            AudioBuffer source(channels, kFrames + kOffset);
            for (int c = 0; c < channels; ++c)
                for (uint32_t i = 0; i < kFrames + kOffset; ++i)
                    source.channel(c)[i] = marker(c, int64_t(i) - kOffset);
            {
                auto writer = AudioIO::writer(path, 48000, channels, 32);
                writer->write(source, kOffset, 12345);
                writer->write(source, kOffset + 12345, kFrames - 12345);
                EXPECT_EQ(writer->framesWritten(), kFrames);
                writer->close();
            }
            auto reader = AudioIO::open(path);
            ASSERT_EQ(reader->channelCount(), channels);
            ASSERT_EQ(reader->length(), kFrames);
            AudioBuffer block(channels, 8191);
            int64_t at = 0;
            while (const uint32_t got = reader->read(block, 8191)) {
                for (int c = 0; c < channels; ++c)
                    for (uint32_t i = 0; i < got; ++i)
                        ASSERT_EQ(block.channel(c)[i], marker(c, at + i))
                            << channels << " channels, channel " << c << ", frame " << at + i;
                at += got;
            }
            EXPECT_EQ(at, kFrames);
        }
    }
}
