#include "audiocore/restoration/SidonTimeline.hpp"

#include <gtest/gtest.h>
#include <soxr.h>

#include <cmath>
#include <numbers>

#include "RestorationTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

using namespace corvaline;
namespace timeline = corvaline::SidonTimeline;

namespace {

constexpr int64_t kVocoderSamples = 479014;

// Voice-band content only (below 7 kHz): band-limiting to 8 kHz leaves it unchanged.
std::vector<float> voiceBand(double rate, int64_t frames) {
    std::vector<float> x(static_cast<size_t>(frames));
    for (int64_t n = 0; n < frames; ++n) {
        const double t = double(n) / rate;
        const double envelope = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 0.37 * t);
        x[size_t(n)] = float(envelope * (0.3 * std::sin(2 * std::numbers::pi * 110 * t) +
                                         0.2 * std::sin(2 * std::numbers::pi * 1234.5 * t + 1) +
                                         0.1 * std::sin(2 * std::numbers::pi * 5321 * t + 2)));
    }
    return x;
}

// A stand-in "restoration": the 16 kHz window converted back to 48 kHz by libsoxr and cut to
// the vocoder's length. With it the walk must reproduce its input.
std::vector<float> convert(const std::vector<float>& x, double from, double to) {
    if (from == to) return x;
    const size_t expected = size_t(std::llround(double(x.size()) * to / from));
    std::vector<float> y(expected);
    size_t produced = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_error_t error = soxr_oneshot(from, to, 1, x.data(), x.size(), nullptr, y.data(),
                                            y.size(), &produced, &io, &quality, nullptr);
    if (error || produced != expected) throw std::runtime_error("test resampler failed");
    return y;
}

std::vector<float> upTo48k(const std::vector<float>& x16) {
    auto y = convert(x16, 16000, 48000);
    y.resize(kVocoderSamples);
    return y;
}

// The whole source band-limited to 8 kHz through the same conversions as one window, with a
// second of silence on either side (the file's own start and end ring as in the walk).
std::vector<float> bandLimited(const std::vector<float>& source, double rate) {
    const size_t pad = size_t(rate);
    std::vector<float> padded(pad, 0.0f);
    padded.insert(padded.end(), source.begin(), source.end());
    padded.insert(padded.end(), pad, 0.0f);
    auto y = convert(convert(convert(padded, rate, 16000), 16000, 48000), 48000, rate);
    return std::vector<float>(y.begin() + long(pad), y.begin() + long(pad + source.size()));
}

struct Call {
    int64_t windowStart;
    int64_t bodyStart;
};

// Runs the walk over a fixture with a transform that records its calls and returns a constant.
std::vector<Call> walk(const test::TempDir& dir, double rate, int64_t frames, SidonQuality quality,
                       std::vector<float>* output = nullptr) {
    test::writeMono(dir / "in.wav", rate, std::vector<float>(size_t(frames), 0.25f));
    std::vector<Call> calls;
    timeline::renderContext(
        dir / "in.wav", dir / "out.wav", quality,
        [&](const std::vector<float>& x16, int64_t start, int64_t body, double) {
            EXPECT_EQ(x16.size(), 160000u);
            calls.push_back({start, body});
            return std::vector<float>(kVocoderSamples, 0.5f);
        });
    const auto result = test::readMono(dir / "out.wav");
    EXPECT_EQ(int64_t(result.size()), frames);
    if (output) *output = result;
    return calls;
}

}  // namespace

TEST(SidonTimeline, TimingTable) {
    const auto standard = timeline::timing(44100, SidonQuality::standard);
    EXPECT_EQ(standard.window, 441000);
    EXPECT_EQ(standard.stride, 352800);
    EXPECT_EQ(standard.context, 44100);
    EXPECT_EQ(standard.firstContext, 44100);
    EXPECT_EQ(standard.crossfade, 1764);
    EXPECT_EQ(standard.keptOutput, 385920);
    const auto careful = timeline::timing(22050, SidonQuality::careful);
    EXPECT_EQ(careful.stride, 88200);
    EXPECT_EQ(careful.context, 44100);
    EXPECT_EQ(careful.firstContext, 441);
    EXPECT_EQ(careful.keptOutput, 193920);
    // Halves round away from zero; the seam never vanishes.
    EXPECT_EQ(timeline::timing(12.5, SidonQuality::careful).crossfade, 1);
    EXPECT_EQ(timeline::timing(11025, SidonQuality::careful).firstContext, 221);
}

TEST(SidonTimeline, ResampleLengthRule) {
    std::vector<float> ramp(100);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = float(i) / 100.0f;

    EXPECT_EQ(timeline::resample(ramp, 16000, 16000, 100), ramp);
    try {
        timeline::resample(ramp, 16000, 16000, 101);
        FAIL() << "same-rate length mismatch accepted";
    } catch (const AudioFailure& failure) {
        EXPECT_STREQ(failure.what(), "Unexpected audio duration.");
    }

    const auto exact = timeline::resample(ramp, 16000, 48000, 300);
    ASSERT_EQ(exact.size(), 300u);
    // One short: padded with a copy of the last converted sample.
    const auto padded = timeline::resample(ramp, 16000, 48000, 301);
    ASSERT_EQ(padded.size(), 301u);
    EXPECT_EQ(padded[300], exact[299]);
    EXPECT_TRUE(std::equal(exact.begin(), exact.end(), padded.begin()));
    // One long: cut.
    const auto cut = timeline::resample(ramp, 16000, 48000, 299);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), exact.begin()));
    for (int64_t wrong : {302, 298}) {
        try {
            timeline::resample(ramp, 16000, 48000, wrong);
            FAIL() << "two samples off accepted";
        } catch (const AudioFailure& failure) {
            EXPECT_STREQ(failure.what(),
                         "Sidon sample-rate conversion changed the audio duration.");
        }
    }
    // Nothing in, one expected: a zero.
    EXPECT_EQ(timeline::resample({}, 48000, 44100, 1), std::vector<float>{0.0f});

    for (double bad : {0.0, -8000.0, std::nan("")}) {
        try {
            timeline::resample(ramp, bad, 48000, 300);
            FAIL() << "rate " << bad << " accepted";
        } catch (const AudioFailure& failure) {
            EXPECT_STREQ(failure.what(), "Cannot convert this sample rate for Sidon.");
        }
    }
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(timeline::resample(ramp, 16000, 48000, 300, stop.get_token()), Cancelled);
}

class SidonWalkIdentity : public ::testing::TestWithParam<std::tuple<double, SidonQuality>> {};

TEST_P(SidonWalkIdentity, RestoresTheBandLimitedSourceWithoutOffsetOrSeams) {
    const auto [rate, quality] = GetParam();
    test::TempDir dir;
    // 19.3 s: three Standard windows (seams at 8 s and 16 s), five Careful ones.
    const int64_t frames = std::llround(19.3 * rate);
    const auto source = voiceBand(rate, frames);
    test::writeMono(dir / "in.wav", rate, source);
    std::vector<double> reported;
    timeline::renderContext(
        dir / "in.wav", dir / "out.wav", quality,
        [](const std::vector<float>& x16, int64_t, int64_t, double) { return upTo48k(x16); },
        [&](double fraction) { reported.push_back(fraction); });
    double outputRate = 0;
    const auto restored = test::readMono(dir / "out.wav", &outputRate);
    EXPECT_EQ(outputRate, rate);
    ASSERT_EQ(int64_t(restored.size()), frames);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 1.0);

    const auto t = timeline::timing(rate, quality);
    const auto reference = bandLimited(source, rate);
    // The body of the first window is converted from a crop that starts at the file's first
    // frame, so the converter's own edge shows in the first few milliseconds.
    const int64_t edge = std::llround(0.005 * rate);
    double worstAway = 0, worstSeam = 0;
    for (int64_t n = 0; n < frames; ++n) {
        const double error = std::abs(double(restored[size_t(n)]) - double(reference[size_t(n)]));
        const int64_t intoBody = n % t.stride;
        const bool seam = n >= t.stride && intoBody < t.crossfade;
        if (n < edge) continue;
        (seam ? worstSeam : worstAway) = std::max(seam ? worstSeam : worstAway, error);
    }
    // Peak amplitude is 0.6. Away from the seams the walk matches the whole-file conversion to
    // float rounding; inside a seam the crossfade hides the converters' edges to below -75 dB.
    EXPECT_LT(worstAway, 2e-5) << "rate " << rate;
    EXPECT_LT(worstSeam, 5e-4) << "rate " << rate;

    // No level step: 10 ms RMS of the error around every seam stays tiny.
    for (int64_t seam = t.stride; seam < frames; seam += t.stride) {
        const int64_t span = int64_t(rate / 100);
        double sum = 0;
        for (int64_t n = seam - span; n < std::min(frames, seam + 4 * span); ++n) {
            sum += std::pow(double(restored[size_t(n)]) - double(reference[size_t(n)]), 2);
        }
        EXPECT_LT(std::sqrt(sum / double(5 * span)), 5e-5) << "seam at " << seam;
    }
}

INSTANTIATE_TEST_SUITE_P(RatesAndQualities, SidonWalkIdentity,
                         ::testing::Combine(::testing::Values(16000.0, 44100.0, 48000.0),
                                            ::testing::Values(SidonQuality::standard,
                                                              SidonQuality::careful)));

TEST(SidonTimeline, WindowPositions) {
    test::TempDir dir;
    // One frame: one window, one frame out.
    auto calls = walk(dir, 48000, 1, SidonQuality::standard);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].windowStart, -48000);
    EXPECT_EQ(calls[0].bodyStart, 0);

    // Exactly one stride needs one window; one frame more needs a second.
    const int64_t stride = 8 * 16000;
    EXPECT_EQ(walk(dir, 16000, stride, SidonQuality::standard).size(), 1u);
    calls = walk(dir, 16000, stride + 1, SidonQuality::standard);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].windowStart, stride - 16000);
    EXPECT_EQ(calls[1].bodyStart, stride);

    // Careful: the first window starts 0.02 s before the file, later ones 2 s before the body.
    calls = walk(dir, 44100, 441000, SidonQuality::careful);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].windowStart, -882);
    EXPECT_EQ(calls[0].bodyStart, 0);
    EXPECT_EQ(calls[1].windowStart, 176400 - 88200);
    EXPECT_EQ(calls[1].bodyStart, 176400);
    EXPECT_EQ(calls[2].bodyStart, 352800);
}

TEST(SidonTimeline, SeamWeightsNeverReachZeroOrOne) {
    test::TempDir dir;
    const double rate = 48000;  // no conversion on the way out: the weights show exactly
    test::writeMono(dir / "in.wav", rate, std::vector<float>(600000, 0.1f));
    int window = 0;
    timeline::renderContext(dir / "in.wav", dir / "out.wav", SidonQuality::standard,
                            [&](const std::vector<float>&, int64_t, int64_t, double) {
                                return std::vector<float>(kVocoderSamples,
                                                          window++ == 0 ? 1.0f : 0.0f);
                            });
    const auto out = test::readMono(dir / "out.wav");
    const int64_t stride = 384000, crossfade = 1920;
    EXPECT_EQ(out[size_t(stride - 1)], 1.0f);
    for (int64_t i = 0; i < crossfade; ++i) {
        const float g = float(i + 1) / float(crossfade + 1);
        const float value = out[size_t(stride + i)];
        EXPECT_FLOAT_EQ(value, 1.0f - g) << i;
        EXPECT_GT(value, 0.0f);
        EXPECT_LT(value, 1.0f);
    }
    EXPECT_EQ(out[size_t(stride + crossfade)], 0.0f);
}

TEST(SidonTimeline, RefusesBadSourcesAndBadWindows) {
    test::TempDir dir;
    int calls = 0;
    auto expectFailure = [&](const std::filesystem::path& source,
                             const timeline::Transform& transform, const char* message) {
        try {
            timeline::renderContext(source, dir / "out.wav", SidonQuality::standard, transform);
            FAIL() << "accepted, expected: " << message;
        } catch (const AudioFailure& failure) {
            EXPECT_STREQ(failure.what(), message);
        }
    };
    const timeline::Transform counting = [&](const std::vector<float>&, int64_t, int64_t, double) {
        ++calls;
        return std::vector<float>(kVocoderSamples, 0.0f);
    };
    test::writeTone(dir / "stereo.wav", 48000, 2, 48000);
    expectFailure(dir / "stereo.wav", counting, "Sidon requires a nonempty mono channel.");
    test::writeTone(dir / "empty.wav", 48000, 1, 0);
    expectFailure(dir / "empty.wav", counting, "Sidon requires a nonempty mono channel.");
    EXPECT_EQ(calls, 0) << "a model ran for a refused source";

    test::writeTone(dir / "mono.wav", 48000, 1, 96000);
    // Standard, first window: 1 s of context (48000 samples) plus 385920 kept.
    const size_t needed = 48000 + 385920;
    EXPECT_NO_THROW(timeline::renderContext(dir / "mono.wav", dir / "out.wav",
                                            SidonQuality::standard,
                                            [&](const std::vector<float>&, int64_t, int64_t,
                                                double) { return std::vector<float>(needed); }));
    expectFailure(
        dir / "mono.wav",
        [&](const std::vector<float>&, int64_t, int64_t, double) {
            return std::vector<float>(needed - 1);
        },
        "Sidon returned a shortened or invalid context window.");
    // A full-length window with one non-finite sample.
    auto poisoned = [](size_t at, float value) -> timeline::Transform {
        return [=](const std::vector<float>&, int64_t, int64_t, double) {
            std::vector<float> y(kVocoderSamples, 0.0f);
            y[at] = value;
            return y;
        };
    };
    expectFailure(dir / "mono.wav", poisoned(470000, std::numeric_limits<float>::quiet_NaN()),
                  "Sidon returned a shortened or invalid context window.");
    expectFailure(dir / "mono.wav", poisoned(100, std::numeric_limits<float>::infinity()),
                  "Sidon returned a shortened or invalid context window.");

    std::stop_source stop;
    stop.request_stop();
    calls = 0;
    EXPECT_THROW(timeline::renderContext(dir / "mono.wav", dir / "out.wav", SidonQuality::careful,
                                         counting, {}, stop.get_token()),
                 Cancelled);
    EXPECT_EQ(calls, 0);
}
