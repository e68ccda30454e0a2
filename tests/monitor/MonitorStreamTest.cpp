// The listening mix, the monitor gain and the meters of MonitorStream, and the plan that
// builds a stream over the real finishing chain.

#include <gtest/gtest.h>

#include <cmath>

#include "MonitorFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "audiocore/monitor/MonitorStream.hpp"

namespace corvaline {
namespace {

using test::BufferSource;
using test::makeSignal;

// Channel c holds (c + 1) / 10 with alternating sign, so every channel is recognisable.
AudioBuffer labelled(int channels, uint32_t frames = 256) {
    return makeSignal(channels, frames, [](int c, uint32_t i) {
        return float((c + 1) * 0.1 * (i % 2 == 0 ? 1 : -1));
    });
}

std::unique_ptr<MonitorStream> streamOf(AudioBuffer audio, std::vector<ChannelSettings> states,
                                        double gain = 1) {
    return std::make_unique<MonitorStream>(std::make_unique<BufferSource>(std::move(audio)),
                                           std::move(states), gain);
}

ChannelSettings muted() {
    return {.process = true, .mute = true, .solo = false};
}
ChannelSettings soloed() {
    return {.process = true, .mute = false, .solo = true};
}

// Left and right of frame `i` of `block`.
std::pair<float, float> at(const MonitorBlock& block, uint32_t i) {
    return {block.audio.channel(0)[i], block.audio.channel(1)[i]};
}

TEST(MonitorStream, StereoPlaysLeftAndRightUnchanged) {
    auto stream = streamOf(labelled(2), {{}, {}});
    auto block = stream->next(1024);
    ASSERT_TRUE(block);
    ASSERT_EQ(block->audio.channelCount(), 2);
    ASSERT_EQ(block->audio.frameLength(), 256u);
    for (uint32_t i = 0; i < 256; ++i) {
        const float sign = i % 2 == 0 ? 1.f : -1.f;
        EXPECT_EQ(at(*block, i), std::make_pair(0.1f * sign, 0.2f * sign)) << i;
    }
    EXPECT_EQ(stream->format().channelCount, 2);
    EXPECT_EQ(stream->format().sampleRate, 48000);
}

TEST(MonitorStream, MutingOneSideOfAStereoFilePlaysTheOtherOnBoth) {
    auto leftMuted = streamOf(labelled(2), {muted(), {}})->next(64);
    auto rightMuted = streamOf(labelled(2), {{}, muted()})->next(64);
    ASSERT_TRUE(leftMuted && rightMuted);
    EXPECT_EQ(at(*leftMuted, 0), std::make_pair(0.2f, 0.2f));
    EXPECT_EQ(at(*leftMuted, 1), std::make_pair(-0.2f, -0.2f));
    EXPECT_EQ(at(*rightMuted, 0), std::make_pair(0.1f, 0.1f));
}

TEST(MonitorStream, SoloPlaysOneChannelOrTheMeanOfSeveral) {
    auto one = streamOf(labelled(4), {{}, {}, soloed(), {}})->next(64);
    ASSERT_TRUE(one);
    EXPECT_FLOAT_EQ(at(*one, 0).first, 0.3f);
    EXPECT_FLOAT_EQ(at(*one, 0).second, 0.3f);

    auto two = streamOf(labelled(4), {{}, {}, soloed(), soloed()})->next(64);
    ASSERT_TRUE(two);
    EXPECT_FLOAT_EQ(at(*two, 0).first, 0.35f);
    EXPECT_FLOAT_EQ(at(*two, 1).second, -0.35f);

    // A muted solo stays silent.
    ChannelSettings mutedSolo{.process = true, .mute = true, .solo = true};
    auto silent = streamOf(labelled(4), {{}, {}, mutedSolo, {}})->next(64);
    EXPECT_EQ(at(*silent, 0), std::make_pair(0.f, 0.f));
}

TEST(MonitorStream, EverythingMutedIsSilentButChannelMetersMove) {
    auto block = streamOf(labelled(3), {muted(), muted(), muted()})->next(64);
    ASSERT_TRUE(block);
    for (uint32_t i = 0; i < 64; ++i)
        EXPECT_EQ(at(*block, i), std::make_pair(0.f, 0.f));
    EXPECT_EQ(block->output, (std::vector<double>{-90, -90}));
    ASSERT_EQ(block->channels.size(), 3u);
    EXPECT_NEAR(block->channels[0], 20 * std::log10(0.1), 1e-4);
    EXPECT_NEAR(block->channels[1], 20 * std::log10(0.2), 1e-4);
    EXPECT_NEAR(block->channels[2], 20 * std::log10(0.3), 1e-4);
}

TEST(MonitorStream, ChannelsBeyondTheStatesAreAudibleOnlyWithoutSolo) {
    // Three channels, one state: channels 1 and 2 count as unmuted, unsoloed.
    auto noSolo = streamOf(labelled(3), {{}})->next(64);
    EXPECT_FLOAT_EQ(at(*noSolo, 0).first, 0.2f);  // mean of 0.1, 0.2, 0.3
    auto firstMuted = streamOf(labelled(3), {muted()})->next(64);
    EXPECT_FLOAT_EQ(at(*firstMuted, 0).first, 0.25f);
    auto solo = streamOf(labelled(3), {soloed()})->next(64);
    EXPECT_FLOAT_EQ(at(*solo, 0).first, 0.1f);
    // A stereo file with no states at all is still a stereo pair.
    auto none = streamOf(labelled(2), {})->next(64);
    EXPECT_EQ(at(*none, 0), std::make_pair(0.1f, 0.2f));
}

TEST(MonitorStream, SilenceReadsTheFloorOnEveryMeter) {
    auto block = streamOf(makeSignal(3, 100, [](int, uint32_t) { return 0.f; }), {})->next(64);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->output, (std::vector<double>{-90, -90}));
    EXPECT_EQ(block->channels, (std::vector<double>{-90, -90, -90}));
    EXPECT_EQ(block->bleedReduction, (std::vector<double>{0, 0}));
    EXPECT_EQ(meterDB(0), -90);
    EXPECT_EQ(meterDB(1e-6), -90);  // -120 dBFS is below the floor
    EXPECT_NEAR(meterDB(0.5), -6.0206, 1e-4);
}

TEST(MonitorStream, BlocksCoverTheSourceExactlyAndEndWithNone) {
    auto stream = streamOf(labelled(2, 2500), {});
    EXPECT_EQ(stream->length(), 2500);
    std::vector<uint32_t> sizes;
    while (auto block = stream->next(1024))
        sizes.push_back(block->audio.frameLength());
    EXPECT_EQ(sizes, (std::vector<uint32_t>{1024, 1024, 452}));
    EXPECT_TRUE(stream->exhausted());
    EXPECT_FALSE(stream->next(1024));
    // Capacity is clamped to 1...16384.
    auto small = streamOf(labelled(1, 20000), {});
    EXPECT_EQ(small->next(0)->audio.frameLength(), 1u);
    EXPECT_EQ(small->next(100000)->audio.frameLength(), 16384u);
}

TEST(MonitorStream, UpdateTakesEffectFromTheNextBlock) {
    auto source = std::make_unique<BufferSource>(labelled(2, 2048));
    BufferSource* raw = source.get();
    MonitorStream stream(std::move(source), {}, 1);
    auto first = stream.next(1024);
    EXPECT_EQ(at(*first, 0), std::make_pair(0.1f, 0.2f));
    stream.update(ProcessingSettings(), {muted(), {}}, 0.25);
    EXPECT_EQ(raw->updates, 1);
    EXPECT_EQ(stream.gain(), 0.25);
    EXPECT_EQ(stream.states().size(), 2u);
    auto second = stream.next(1024);
    EXPECT_EQ(at(*second, 0), std::make_pair(0.05f, 0.05f));
}

// --- Through the finishing chain ---------------------------------------------------------

class MonitorPlanTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    // The Original monitor settings: defaults with EQ, compressor and limiter off.
    static ProcessingSettings original() {
        ProcessingSettings s;
        s.eqEnabled = s.compressorEnabled = s.limiterEnabled = false;
        return s;
    }
    std::filesystem::path sineFile(const std::string& name, double amplitude, int channels = 2,
                                   uint32_t frames = 48000) {
        auto path = dir / name;
        test::writeWav(path, makeSignal(channels, frames, [&](int, uint32_t i) {
                           return test::sine(amplitude, 1000, i);
                       }));
        return path;
    }
    MonitorPlan planFor(const std::filesystem::path& source) {
        return MonitorPlan{
            .source = source, .settings = original(), .channels = {{}, {}}, .reference = source};
    }
};

TEST_F(MonitorPlanTest, FullScaleSineAtHalfGainReadsMinusSixDB) {
    const auto file = sineFile("sine.wav", 1.0);
    auto stream = planFor(file).makeStream();
    ASSERT_NE(stream->dsp(), nullptr);
    EXPECT_EQ(stream->gain(), 1);
    EXPECT_EQ(stream->length(), 48000);
    stream->update(original(), {{}, {}}, 0.5);
    int blocks = 0;
    int64_t frames = 0;
    while (auto block = stream->next(1024)) {
        ++blocks;
        frames += block->audio.frameLength();
        EXPECT_NEAR(block->output[0], -6.0206, 0.01) << blocks;
        EXPECT_NEAR(block->output[1], -6.0206, 0.01) << blocks;
        EXPECT_NEAR(block->channels[0], 0, 0.01) << blocks;
        EXPECT_EQ(block->compressorReduction, 0);
        EXPECT_EQ(block->limiterReduction, 0);
    }
    EXPECT_EQ(frames, 48000);
    EXPECT_TRUE(stream->exhausted());
}

TEST_F(MonitorPlanTest, LevelMatchPicksTheGainOfThePlayedSide) {
    const auto reference = sineFile("reference.wav", 0.25);
    const auto preview = sineFile("preview.wav", 0.5);  // 6 dB louder
    auto plan = planFor(reference);
    plan.compared = preview;
    // Matching without a compared file, or switched off, keeps unity gain.
    plan.matching = false;
    EXPECT_EQ(plan.makeStream()->gain(), 1);
    plan.matching = true;
    plan.processed = true;
    EXPECT_NEAR(plan.makeStream()->gain(), 0.5, 1e-4);
    plan.processed = false;
    EXPECT_NEAR(plan.makeStream()->gain(), 1.0, 1e-9);
    auto noCompared = plan;
    noCompared.compared.reset();
    noCompared.processed = true;
    EXPECT_EQ(noCompared.makeStream()->gain(), 1);
}

TEST_F(MonitorPlanTest, FailuresOfEveryStepEndMakeStream) {
    const auto reference = sineFile("reference.wav", 0.25);
    const auto shorter = sineFile("short.wav", 0.5, 2, 24000);
    auto plan = planFor(reference);
    plan.compared = shorter;
    plan.matching = true;
    try {
        plan.makeStream();
        FAIL() << "expected a failure";
    } catch (const AudioFailure& e) {
        EXPECT_STREQ(e.what(), "Level comparison requires the same audition passage.");
    }
}

TEST_F(MonitorPlanTest, NormalizationIsPlannedAndALiveEditSuspendsIt) {
    const auto file = sineFile("programme.wav", 0.1, 2, 48000 * 3);
    auto plan = planFor(file);
    plan.settings.normalizationEnabled = true;
    auto stream = plan.makeStream();
    auto before = stream->next(1024);
    ASSERT_TRUE(before);
    EXPECT_FALSE(before->normalizationSuspended);
    // A normalised programme plays louder than the -20 dBFS sine it was made from.
    EXPECT_GT(before->output[0], -19.0);
    auto edited = plan.settings;
    edited.outputGain = -3;
    stream->update(edited, plan.channels, 1);
    auto after = stream->next(1024);
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->normalizationSuspended);
}

}  // namespace
}  // namespace corvaline
