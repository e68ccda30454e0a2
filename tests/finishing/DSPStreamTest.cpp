#include "audiocore/finishing/DSPStream.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/dsp/StreamingDSP.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {
namespace {

using test::Planes;

// Everything the stream delivers, in blocks of `capacity`.
Planes drain(DSPStream& stream, int64_t capacity = 4096) {
    Planes out(size_t(stream.channelCount()));
    while (auto block = stream.next(capacity)) {
        EXPECT_GT(block->frameLength(), 0u);
        for (int c = 0; c < stream.channelCount(); ++c) {
            out[size_t(c)].insert(out[size_t(c)].end(), block->channel(c),
                                  block->channel(c) + block->frameLength());
        }
    }
    EXPECT_TRUE(stream.exhausted());
    return out;
}

std::vector<ChannelSettings> processed(int count, std::vector<int> off = {}) {
    std::vector<ChannelSettings> channels(static_cast<size_t>(count));
    for (int c : off)
        channels[size_t(c)].process = false;
    return channels;
}

void expectFailure(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const AudioFailure& failure) {
        EXPECT_EQ(failure.message(), message);
    }
}

class DSPStreamTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::filesystem::path file(const std::string& name, const Planes& planes, double rate = 48000) {
        const auto url = dir / name;
        test::writeWave(url, planes, rate);
        return url;
    }
};

TEST_F(DSPStreamTest, DeliversExactlyTheRangeAlignedSampleForSample) {
    // An impulse at frame 300 comes out at frame 300, whatever the block sizes.
    Planes input = test::generate(3, 5000, [](size_t i) { return i == 300 ? 0.5f : 0.0f; });
    input[1][4999] = -0.25f;  // the very last frame survives the latency flush
    const auto url = file("impulse.wav", input);
    for (int64_t capacity : {1, 7, 240, 4096, 16384}) {
        DSPStream stream(url, std::nullopt, ProcessingSettings::bypass(), processed(3));
        EXPECT_EQ(stream.processor().latency(), 240);
        const Planes out = drain(stream, capacity);
        ASSERT_EQ(out[0].size(), 5000u) << "capacity " << capacity;
        EXPECT_EQ(out, input) << "capacity " << capacity;
    }

    // With the full default chain the filters shape the impulse but never move it earlier.
    DSPStream chain(url, std::nullopt, ProcessingSettings(), processed(3));
    const Planes shaped = drain(chain);
    for (size_t i = 0; i < 300; ++i)
        ASSERT_EQ(shaped[0][i], 0.0f) << "frame " << i;
    EXPECT_NE(shaped[0][300], 0.0f);
}

TEST_F(DSPStreamTest, ShortRangeBelowTheLatencyAndRangeStart) {
    const auto url =
        file("ramp.wav", test::generate(2, 2000, [](size_t i) { return float(i) / 4096; }));
    DSPStream stream(url, AudioFrameRange{1000, 1100}, ProcessingSettings::bypass(), processed(2));
    EXPECT_EQ(stream.length(), 100);
    const Planes out = drain(stream, 16384);
    ASSERT_EQ(out[0].size(), 100u);
    for (size_t i = 0; i < 100; ++i)
        EXPECT_EQ(out[1][i], float(1000 + i) / 4096);
    EXPECT_FALSE(stream.next(100).has_value());
}

TEST_F(DSPStreamTest, CapacityIsClampedToOneAndTheBlockSize) {
    const auto url = file("long.wav", test::generate(1, 40000, [](size_t) { return 0.1f; }));
    DSPStream stream(url, std::nullopt, ProcessingSettings::bypass(), processed(1));
    EXPECT_EQ(stream.next(0)->frameLength(), 1u);
    EXPECT_EQ(stream.next(-5)->frameLength(), 1u);
    EXPECT_EQ(stream.next(100000)->frameLength(), 16384u);
    EXPECT_EQ(stream.next(100000)->frameLength(), 16384u);
    EXPECT_EQ(stream.next(100000)->frameLength(), 40000u - 2 - 2 * 16384);
    EXPECT_FALSE(stream.next(100000));

    // The allocation-free form checks the caller's block.
    DSPStream again(url, std::nullopt, ProcessingSettings::bypass(), processed(1));
    AudioBuffer small(1, 100);
    EXPECT_THROW(again.next(small, 200), std::invalid_argument);
    AudioBuffer wide(2, 100);
    EXPECT_THROW(again.next(wide, 100), std::invalid_argument);
    EXPECT_TRUE(again.next(small, 100));
    EXPECT_EQ(small.frameLength(), 100u);
}

TEST_F(DSPStreamTest, OriginalMixBlendsBeforeProcessing) {
    const auto cleaned = file("cleaned.wav", test::generate(2, 3000, [](size_t) { return 0.2f; }));
    const auto original =
        file("original.wav", test::generate(2, 3000, [](size_t) { return 0.6f; }));
    auto render = [&](double mix, std::vector<int> off) {
        ProcessingSettings settings = ProcessingSettings::bypass();
        settings.originalMix = mix;
        DSPStream stream(cleaned, std::nullopt, settings, processed(2, off),
                         OriginalAudioReference{original, 0});
        return drain(stream);
    };
    Planes out = render(0, {});
    EXPECT_FLOAT_EQ(out[0][1500], 0.2f);
    out = render(100, {});
    EXPECT_FLOAT_EQ(out[0][1500], 0.6f);
    out = render(25, {1});
    EXPECT_NEAR(out[0][1500], 0.3f, 1e-6);
    EXPECT_FLOAT_EQ(out[1][1500], 0.6f);  // an unselected channel always carries the original
    out = render(-0.0, {1});
    EXPECT_FLOAT_EQ(out[0][10], 0.2f);
    EXPECT_FLOAT_EQ(out[1][10], 0.6f);
}

TEST_F(DSPStreamTest, OriginalOffsetAndRangeStartAddUp) {
    // Original frame 49000 lines up with input frame 1000.
    const auto input = file("input.wav", test::generate(1, 4000, [](size_t) { return 0.0f; }));
    const auto original =
        file("original.wav", test::generate(1, 60000, [](size_t i) { return float(i) / 65536; }));
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.originalMix = 100;
    DSPStream stream(input, AudioFrameRange{1000, 3000}, settings, processed(1),
                     OriginalAudioReference{original, 48000});
    const Planes out = drain(stream);
    ASSERT_EQ(out[0].size(), 2000u);
    EXPECT_EQ(out[0][0], 49000.0f / 65536);
    EXPECT_EQ(out[0][1999], 50999.0f / 65536);
}

TEST_F(DSPStreamTest, LiveMixChangeGlidesOverTenMilliseconds) {
    const auto cleaned = file("cleaned.wav", test::generate(1, 9600, [](size_t) { return 0.0f; }));
    const auto original =
        file("original.wav", test::generate(1, 9600, [](size_t) { return 1.0f; }));
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.originalMix = 20;
    settings.normalizationEnabled = true;
    DSPStream live(cleaned, std::nullopt, settings, processed(1),
                   OriginalAudioReference{original, 0}, std::nullopt, 0.0);
    std::vector<float> heard;
    auto take = [&](int64_t frames) {
        auto block = live.next(frames);
        heard.insert(heard.end(), block->channel(0), block->channel(0) + block->frameLength());
    };
    take(2400);
    live.update(settings, processed(1));  // the same settings and flags: nothing changes
    EXPECT_FALSE(live.normalizationSuspended());
    take(2400);
    settings.originalMix = 40;
    live.update(settings, processed(1));
    EXPECT_TRUE(live.normalizationSuspended());
    while (!live.exhausted())
        take(4096);
    ASSERT_EQ(heard.size(), 9600u);

    // The input already taken into the lookahead (240 frames) keeps the old share.
    int gliding = 0;
    for (size_t i = 0; i < heard.size(); ++i) {
        if (i < 4800 + 240) {
            ASSERT_FLOAT_EQ(heard[i], 0.2f) << "frame " << i;
        }
        if (heard[i] > 0.2001f && heard[i] < 0.3999f) ++gliding;
        if (i > 0) {
            ASSERT_GE(heard[i], heard[i - 1] - 1e-6f);
        }
    }
    EXPECT_NEAR(gliding, 479, 2);
    EXPECT_FLOAT_EQ(heard.back(), 0.4f);
}

TEST_F(DSPStreamTest, NormalisationGainAppliesToSelectedChannelsAndFadesAfterAnEdit) {
    const auto url = file("tone.wav", test::generate(2, 4800, [](size_t) { return 0.25f; }));
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.normalizationEnabled = true;
    DSPStream stream(url, std::nullopt, settings, processed(2, {1}), std::nullopt, std::nullopt,
                     20 * std::log10(2.0));
    EXPECT_FALSE(stream.normalizationPlan());
    auto block = stream.next(1000);
    EXPECT_FLOAT_EQ(block->channel(0)[500], 0.5f);
    EXPECT_FLOAT_EQ(block->channel(1)[500], 0.25f);

    settings.outputGain = 0.0001;  // any edit invalidates the measured gain
    stream.update(settings, processed(2, {1}));
    EXPECT_TRUE(stream.normalizationSuspended());
    block = stream.next(1000);
    EXPECT_GT(block->channel(0)[0], 0.49f);
    EXPECT_NEAR(block->channel(0)[600], 0.25f, 1e-3);
    // Once at unity it stays there, even after the settings return.
    settings.outputGain = 0;
    stream.update(settings, processed(2, {1}));
    block = stream.next(1000);
    EXPECT_NEAR(block->channel(0)[999], 0.25f, 1e-6);
}

TEST_F(DSPStreamTest, EveryFailureHasItsMessage) {
    const auto url = file("stereo.wav", test::generate(2, 1000, [](size_t) { return 0.1f; }));
    const auto settings = ProcessingSettings::bypass();
    const auto channels = processed(2);
    for (AudioFrameRange range : {AudioFrameRange{-1, 10}, AudioFrameRange{0, 1001},
                                  AudioFrameRange{10, 10}, AudioFrameRange{20, 10}}) {
        expectFailure([&] { DSPStream(url, range, settings, channels); },
                      "Invalid playback range.");
    }
    for (double mix : {-1.0, 100.5, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
        ProcessingSettings bad = settings;
        bad.originalMix = mix;
        expectFailure([&] { DSPStream(url, std::nullopt, bad, channels); },
                      "Original mix must be between 0 and 100 percent.");
    }

    const auto mono = file("mono.wav", test::generate(1, 1000, [](size_t) { return 0.1f; }));
    const auto otherRate =
        file("rate.wav", test::generate(2, 1000, [](size_t) { return 0.1f; }), 44100);
    const auto shorter = file("short.wav", test::generate(2, 999, [](size_t) { return 0.1f; }));
    const std::vector<OriginalAudioReference> mismatched = {
        {mono, 0}, {otherRate, 0}, {shorter, 0}, {url, -1}, {url, 1}};
    for (const auto& reference : mismatched) {
        expectFailure([&] { DSPStream(url, std::nullopt, settings, channels, reference); },
                      "Original mix requires matching source timelines and channels.");
        expectFailure(
            [&] { DSPStream(url, std::nullopt, settings, channels, std::nullopt, reference); },
            "Lav detection requires matching source timelines and channels.");
    }
    // An offset that fits the range is fine: 999 frames from offset 1 cover [0, 998).
    DSPStream fits(url, AudioFrameRange{0, 998}, settings, channels,
                   OriginalAudioReference{shorter, 1});

    EXPECT_THROW(DSPStream(dir / "missing.wav", std::nullopt, settings, channels), std::exception);

    Planes poisoned = test::generate(2, 1000, [](size_t) { return 0.1f; });
    poisoned[1][700] = std::numeric_limits<float>::quiet_NaN();
    const auto nan = file("nan.wav", poisoned);
    DSPStream mixing(url, std::nullopt, settings, channels, OriginalAudioReference{nan, 0});
    expectFailure([&] { drain(mixing); }, "Invalid audio in the original/cleaned mix.");
    // Without an original a non-finite input sample is the chain's business: it becomes 0.
    DSPStream plain(nan, std::nullopt, settings, channels);
    const Planes out = drain(plain);
    EXPECT_EQ(out[1][700], 0.0f);
}

TEST_F(DSPStreamTest, CancellationEndsTheCall) {
    const auto url = file("cancel.wav", test::generate(1, 1000, [](size_t) { return 0.1f; }));
    DSPStream stream(url, std::nullopt, ProcessingSettings::bypass(), processed(1));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(stream.next(100, stop.get_token()), Cancelled);
}

}  // namespace
}  // namespace corvaline
