// AudioAnalysis fed block by block: the same audio gives the same overview, peaks and RMS
// however it is cut into blocks (an import feeds it its own blocks, AudioIO::analyze the
// file's), and it never takes more frames than it was told.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "audiocore/files/AudioAnalysis.hpp"

using namespace corvaline;

namespace {

/// Two channels of 10007 frames: a decaying tone, and noise-like values with a NaN.
std::vector<std::vector<float>> signal() {
    std::vector<std::vector<float>> planes(2, std::vector<float>(10007));
    uint32_t r = 1;
    for (size_t i = 0; i < planes[0].size(); ++i) {
        planes[0][i] = float(std::exp(-double(i) / 4000) * std::sin(0.05 * double(i)));
        r = r * 1664525u + 1013904223u;
        planes[1][i] = float(int32_t(r) / 2147483648.0) * 0.7f;
    }
    planes[1][5000] = NAN;
    return planes;
}

std::vector<ChannelInfo> analyseInBlocks(const std::vector<std::vector<float>>& planes,
                                         uint32_t block) {
    const auto length = int64_t(planes[0].size());
    AudioAnalysis analysis(2, length);
    for (int64_t at = 0; at < length; at += block) {
        const auto n = uint32_t(std::min<int64_t>(block, length - at));
        const float* pointers[2] = {planes[0].data() + at, planes[1].data() + at};
        analysis.add(pointers, n);
    }
    EXPECT_TRUE(analysis.complete());
    return analysis.channels({"Boom", ""});
}

}  // namespace

TEST(AudioAnalysis, TheResultDoesNotDependOnTheBlocks) {
    const auto planes = signal();
    const auto whole = analyseInBlocks(planes, 10007);
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[0].name, "Boom");
    EXPECT_EQ(whole[1].name, "Channel 2");
    EXPECT_EQ(whole[0].waveform.size(), 1800u);
    double sum = 0;
    for (float s : planes[0])
        sum += double(s) * s;
    EXPECT_NEAR(whole[0].rms, std::sqrt(sum / 10007), 1e-7);
    EXPECT_LE(whole[1].peak, 0.7f);
    for (uint32_t block : {1u, 3u, 4u, 5u, 1000u, 4097u})
        EXPECT_EQ(analyseInBlocks(planes, block), whole) << "blocks of " << block;
}

TEST(AudioAnalysis, FramesBeyondTheLengthAreRefusedAndNotCounted) {
    const auto planes = signal();
    AudioAnalysis analysis(2, 100);
    const float* pointers[2] = {planes[0].data(), planes[1].data()};
    analysis.add(pointers, 60);
    EXPECT_THROW(analysis.add(pointers, 41), std::out_of_range);
    EXPECT_EQ(analysis.position(), 60);
    analysis.add(pointers, 40);
    EXPECT_TRUE(analysis.complete());
    EXPECT_THROW(analysis.add(pointers, 1), std::out_of_range);
    // 100 frames give one overview point per frame.
    EXPECT_EQ(analysis.channels()[0].waveform.size(), 100u);
    EXPECT_THROW(AudioAnalysis(0, 10), std::invalid_argument);
    EXPECT_THROW(AudioAnalysis(129, 10), std::invalid_argument);
    EXPECT_THROW(AudioAnalysis(1, 0), std::invalid_argument);
}
