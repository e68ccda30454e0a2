// Timeline placement, rate conversion and merging, driven by synthetic sources so that every
// timestamp and status a decoder might report can be produced.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stop_token>

#include "ImportFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/import/TrackExtraction.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;
using namespace corvaline::MediaImport;
namespace fs = std::filesystem;

namespace {

/// One scripted buffer: its description and the constant value of all its samples.
struct Scripted {
    SampleBuffer buffer;
    float value = 0;
    int status = 0;
};

Scripted at(double seconds, int64_t frames, float value, double rate = 1000, int channels = 1) {
    Scripted s;
    s.buffer.sampleRate = rate;
    s.buffer.channels = channels;
    s.buffer.presentationTime = seconds;
    s.buffer.frames = frames;
    s.value = value;
    return s;
}

class ScriptedSource final : public TrackSource {
  public:
    explicit ScriptedSource(std::vector<Scripted> script, bool completes = true,
                            std::string error = {})
        : script_(std::move(script)), completes_(completes), error_(std::move(error)) {}
    bool next(SampleBuffer& buffer) override {
        if (next_ >= script_.size()) return false;
        current_ = script_[next_++];
        buffer = current_.buffer;
        return true;
    }
    int copy(int64_t from, uint32_t count, float* const* into) override {
        if (current_.status != 0) return current_.status;
        EXPECT_LE(from + count, current_.buffer.frames);
        for (int c = 0; c < current_.buffer.channels; ++c)
            std::fill_n(into[c], count, current_.value);
        return 0;
    }
    bool completed() const override { return completes_; }
    std::string error() const override { return error_; }

  private:
    std::vector<Scripted> script_;
    size_t next_ = 0;
    Scripted current_;
    bool completes_;
    std::string error_;
};

TrackPlan plan1k(int64_t trackFrames = 3000) {
    TrackPlan plan;
    plan.rate = 1000;
    plan.channels = 1;
    plan.startFrame = 0;
    plan.endFrame = trackFrames;
    plan.trackFrames = trackFrames;
    return plan;
}

std::string failureOf(std::vector<Scripted> script, TrackPlan plan = plan1k(),
                      bool completes = true) {
    test::TempDir dir;
    ScriptedSource source(std::move(script), completes);
    try {
        decodeTrack(source, plan, dir / "Track-1.caf", nullptr, {});
    } catch (const AudioFailure& e) {
        return e.message();
    }
    return "(no failure)";
}

}  // namespace

TEST(TrackDecoding, BuffersArePlacedByTheirTimestamps) {
    test::TempDir dir;
    ScriptedSource source({
        at(0.5, 500, 1),   // a delayed first buffer: 0.5 s of silence before it
        at(1.5, 1000, 2),  // a gap of 0.5 s becomes silence
        at(2.0, 1000, 3),  // stamped 0.5 s before the end of what is written: overlap dropped
        at(2.9, 500, 4),   // entirely past the track's end: dropped silently
    });
    decodeTrack(source, plan1k(), dir / "Track-1.caf", nullptr, {});
    const auto ch = test::readChannels(dir / "Track-1.caf");
    ASSERT_EQ(ch[0].size(), 3000u);
    auto expectRun = [&](size_t from, size_t to, float value) {
        for (size_t n = from; n < to; ++n)
            ASSERT_EQ(ch[0][n], value) << n;
    };
    expectRun(0, 500, 0);
    expectRun(500, 1000, 1);
    expectRun(1000, 1500, 0);
    expectRun(1500, 2500, 2);
    expectRun(2500, 3000, 3);
}

TEST(TrackDecoding, EveryFaultHasItsMessage) {
    EXPECT_EQ(failureOf({at(0, 100, 1), at(0.1, 100, 1, 1000, 2)}),
              "The video's audio format changes during playback.");
    Scripted formatless = at(0, 100, 1);
    formatless.buffer.hasFormat = false;
    EXPECT_EQ(failureOf({formatless}), "The video's audio format changes during playback.");
    EXPECT_EQ(failureOf({at(0, 100, 1, 1000.02)}),
              "The video's audio format changes during playback.");
    EXPECT_EQ(failureOf({at(0, 100, 1, 1000.005)}), "(no failure)");

    EXPECT_EQ(failureOf({at(std::nan(""), 100, 1)}), "The video has invalid audio timestamps.");
    EXPECT_EQ(failureOf({at(4611686018427387904.0 / 1000, 100, 1)}),
              "The video has invalid audio timestamps.");

    // One second of tolerance past the movie's end (3 s here), no more.
    EXPECT_EQ(failureOf({at(0, 100, 1), at(4.0, 100, 1)}), "(no failure)");
    EXPECT_EQ(failureOf({at(0, 100, 1), at(4.001, 100, 1)}),
              "The video's audio timestamps exceed its duration.");
    EXPECT_EQ(failureOf({at(0, int64_t(1) << 31, 1)}),
              "The video's audio timestamps exceed its duration.");

    Scripted broken = at(0, 100, 1);
    broken.status = -1094995529;
    EXPECT_EQ(failureOf({broken}), "Could not decode the video's audio samples (-1094995529).");

    EXPECT_EQ(failureOf({at(0, 100, 1)}, plan1k(), false),
              "Video audio extraction did not finish.");
    EXPECT_EQ(failureOf({}), "The video's audio track is empty.");
    // A buffer wholly before the range start and past its end writes nothing.
    TrackPlan nothing = plan1k();
    nothing.endFrame = 0;
    EXPECT_EQ(failureOf({at(0, 100, 1)}, nothing), "The video's audio track is empty.");

    test::TempDir dir;
    ScriptedSource failing({at(0, 100, 1)}, false, "Invalid data found when processing input");
    try {
        decodeTrack(failing, plan1k(), dir / "t.caf", nullptr, {});
        FAIL();
    } catch (const LibraryError& e) {
        EXPECT_STREQ(e.what(), "Invalid data found when processing input");
    }

    std::stop_source stop;
    stop.request_stop();
    ScriptedSource cancelled({at(1.0, 100, 1)});
    EXPECT_THROW(decodeTrack(cancelled, plan1k(), dir / "c.caf", nullptr, stop.get_token()),
                 Cancelled);
}

TEST(TrackDecoding, LayoutAndRangeLimits) {
    const auto layout = videoLayout({{44100, 2}, {48000, 1}}, 2.5);
    EXPECT_EQ(layout.counts, (std::vector<int>{2, 1}));
    EXPECT_EQ(layout.rate, 48000);
    EXPECT_EQ(layout.frames, 120000);
    auto failure = [](auto&& action) -> std::string {
        try {
            action();
        } catch (const AudioFailure& e) {
            return e.message();
        }
        return "(no failure)";
    };
    const std::string format = "The video's audio format is not supported by FFmpeg.";
    EXPECT_EQ(failure([] { videoLayout({{48000, 2}, {0, 2}}, 1); }), format);
    EXPECT_EQ(failure([] { videoLayout({{std::nan(""), 2}}, 1); }), format);
    EXPECT_EQ(failure([] { videoLayout({{48000, 0}}, 1); }), format);
    const std::string limits = "Video import supports up to 128 audio channels and 384 kHz.";
    EXPECT_EQ(failure([] { videoLayout({{48000, 64}, {48000, 64}}, 1); }), "(no failure)");
    EXPECT_EQ(failure([] { videoLayout({{48000, 64}, {48000, 65}}, 1); }), limits);
    EXPECT_EQ(failure([] { videoLayout({{384001, 1}}, 1); }), limits);
    const std::string duration = "The video has an invalid duration.";
    EXPECT_EQ(failure([] { videoLayout({{48000, 1}}, 0); }), duration);
    EXPECT_EQ(failure([] { videoLayout({{48000, 1}}, std::nan("")); }), duration);
    EXPECT_EQ(failure([] { videoLayout({{48000, 1}}, 1e14); }), duration);
    EXPECT_EQ(failure([] { trackFrameRange(48000, -0.5, 1); }),
              "The video has an invalid audio track range.");
    EXPECT_EQ(failure([] { trackFrameRange(48000, 2, 1); }),
              "The video has an invalid audio track range.");
}

/// A stereo sine (left) and its negation (right) in buffers of 1000 frames.
class SineSource final : public TrackSource {
  public:
    SineSource(double rate, int64_t frames, double startSeconds = 0)
        : rate_(rate), frames_(frames), start_(startSeconds) {}
    bool next(SampleBuffer& buffer) override {
        if (done_ >= frames_) return false;
        current_ = done_;
        buffer.sampleRate = rate_;
        buffer.channels = 2;
        buffer.presentationTime = start_ + double(done_) / rate_;
        buffer.frames = std::min<int64_t>(1000, frames_ - done_);
        done_ += buffer.frames;
        return true;
    }
    int copy(int64_t from, uint32_t count, float* const* into) override {
        for (uint32_t i = 0; i < count; ++i) {
            const double t = double(current_ + from + i) / rate_;
            into[0][i] = float(0.5 * std::sin(2 * std::numbers::pi * 1000 * t));
            into[1][i] = -into[0][i];
        }
        return 0;
    }
    bool completed() const override { return true; }
    std::string error() const override { return {}; }

  private:
    double rate_;
    int64_t frames_;
    double start_;
    int64_t done_ = 0;
    int64_t current_ = 0;
};

/// Everything a lane delivers, pulled in blocks of `block` frames.
std::vector<std::vector<float>> drain(TrackLane& lane, uint32_t block) {
    std::vector<std::vector<float>> out(size_t(lane.channels()));
    AudioBuffer buffer(lane.channels(), block);
    for (;;) {
        const uint32_t n = lane.pull(buffer.planes(), block);
        for (int c = 0; c < lane.channels(); ++c)
            out[size_t(c)].insert(out[size_t(c)].end(), buffer.channel(c), buffer.channel(c) + n);
        if (n < block) break;
    }
    return out;
}

TEST(RateConversion, ConvertedLaneKeepsLengthPhaseAndLevel) {
    for (uint32_t block : {32768u, 777u}) {
        SineSource source(44100, 3 * 44100);
        TrackPlan plan;
        plan.rate = 44100;
        plan.channels = 2;
        plan.endFrame = plan.trackFrames = 3 * 44100;
        TrackLane lane(source, plan, 48000);
        const auto ch = drain(lane, block);
        ASSERT_EQ(ch[0].size(), 144000u) << block;
        ASSERT_EQ(ch[1].size(), 144000u) << block;
        for (int n = 200; n < 143800; n += 3) {
            const double expected = 0.5 * std::sin(2 * std::numbers::pi * 1000 * n / 48000.0);
            ASSERT_NEAR(ch[0][size_t(n)], expected, 1e-3) << n;
            ASSERT_NEAR(ch[1][size_t(n)], -expected, 1e-3) << n;
        }
        EXPECT_TRUE(lane.ended());
    }
}

TEST(RateConversion, ALateTrackIsConvertedWithItsLeadingSilence) {
    // Starts 0.5 s in: 0.5 s of silence at the track's rate becomes 0.5 s at the common rate.
    SineSource source(44100, 44100, 0.5);
    TrackPlan plan;
    plan.rate = 44100;
    plan.channels = 2;
    plan.endFrame = plan.trackFrames = 2 * 44100;
    TrackLane lane(source, plan, 96000);
    const auto ch = drain(lane, 4096);
    ASSERT_EQ(ch[0].size(), 144000u);
    for (int n = 0; n < 47000; ++n)
        ASSERT_LT(std::fabs(ch[0][size_t(n)]), 1e-3) << n;
    for (int n = 49000; n < 143000; n += 7)
        ASSERT_NEAR(ch[0][size_t(n)],
                    0.5 * std::sin(2 * std::numbers::pi * 1000 * (n / 96000.0 - 0.5)), 2e-3)
            << n;
}

TEST(RateConversion, FaultsOfTheConverterAndItsInput) {
    auto failure = [](auto&& action) -> std::string {
        try {
            action();
        } catch (const AudioFailure& e) {
            return e.message();
        }
        return "(no failure)";
    };
    EXPECT_EQ(failure([] { RateConverter(0, 48000, 1); }),
              "Could not align the video's audio sample rates.");
    EXPECT_EQ(failure([] { RateConverter(44100, 48000, 129); }),
              "Could not align the video's audio sample rates.");
    // The caller's own words.
    EXPECT_EQ(failure([] { RateConverter(44100, -1, 1, 1024, {"cannot", "failed"}); }), "cannot");

    RateConverter converter(44100, 48000, 1, 1024);
    AudioBuffer out(1, 4096);
    // A source with nothing now: no output, not finished.
    EXPECT_FALSE(converter.convert(
        out, 4096, [](AudioBuffer&, uint32_t) { return RateConverter::Input::noData; }));
    EXPECT_EQ(out.frameLength(), 0u);
    // A source that delivers more than it was asked for.
    EXPECT_EQ(failure([&] {
                  converter.convert(out, 4096, [](AudioBuffer& into, uint32_t requested) {
                      into.setFrameLength(requested + 1);
                      return RateConverter::Input::data;
                  });
              }),
              "Video audio resampling failed.");
}

TEST(Merge, TracksSideBySidePaddedToTheTimeline) {
    test::TempDir dir;
    auto make = [&](const std::string& name, int channels, uint32_t frames, float value) {
        auto writer = AudioIO::writer(dir / name, 1000, channels, 32);
        AudioBuffer buffer(channels, frames);
        for (int c = 0; c < channels; ++c)
            std::fill_n(buffer.channel(c), frames, value + c);
        buffer.setFrameLength(frames);
        writer->write(buffer);
        writer->close();
    };
    make("a.caf", 2, 100, 1);
    make("b.caf", 1, 50, 5);
    std::vector<double> reports;
    merge({dir / "a.caf", dir / "b.caf"}, dir / "Audio.caf", 1000, 3, 120,
          [&](double f) { reports.push_back(f); });
    const auto ch = test::readChannels(dir / "Audio.caf");
    ASSERT_EQ(ch.size(), 3u);
    ASSERT_EQ(ch[0].size(), 120u);
    EXPECT_EQ(ch[0][99], 1.0f);
    EXPECT_EQ(ch[1][99], 2.0f);
    EXPECT_EQ(ch[0][100], 0.0f);
    EXPECT_EQ(ch[2][49], 5.0f);
    EXPECT_EQ(ch[2][50], 0.0f);
    EXPECT_EQ(reports.back(), 1.0);

    // A track longer than the timeline lengthens the result.
    merge({dir / "a.caf"}, dir / "Long.caf", 1000, 2, 10);
    EXPECT_EQ(test::readChannels(dir / "Long.caf")[0].size(), 100u);
}
