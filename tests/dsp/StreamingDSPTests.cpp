// The streaming finishing processor: latency and limiter hold, guards against bad samples,
// pass-through of unselected channels, the ceilings, glides and the update rules.

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

#include "audiocore/dsp/StreamingDSP.hpp"

using namespace corvaline;

namespace {

std::vector<ChannelSettings> channels(int n, bool process = true) {
    ChannelSettings c;
    c.process = process;
    return std::vector<ChannelSettings>(size_t(n), c);
}

/// Runs `frames` frames of `signal(channel, frame)` through `dsp` in blocks of `blockSize`
/// and returns the output per channel. `edit` (optional) runs before the block starting at
/// `editAt`.
std::vector<std::vector<float>> run(StreamingDSP& dsp, long frames,
                                    const std::function<double(int, long)>& signal,
                                    uint32_t blockSize = 512, long editAt = -1,
                                    const std::function<void()>& edit = {}, long start = 0) {
    AudioBuffer block(dsp.count(), blockSize);
    std::vector<std::vector<float>> out(size_t(dsp.count()));
    for (long pos = 0; pos < frames;) {
        const uint32_t n = uint32_t(std::min<long>(blockSize, frames - pos));
        if (editAt >= pos && editAt < pos + long(n) && edit) {
            const uint32_t first = uint32_t(editAt - pos);
            if (first > 0) {
                out = [&] {
                    auto head = run(dsp, first, signal, blockSize, -1, {}, start + pos);
                    for (int c = 0; c < dsp.count(); ++c) {
                        out[size_t(c)].insert(out[size_t(c)].end(), head[size_t(c)].begin(),
                                              head[size_t(c)].end());
                    }
                    return out;
                }();
                pos += first;
                continue;
            }
            edit();
        }
        block.setFrameLength(n);
        for (int c = 0; c < dsp.count(); ++c) {
            for (uint32_t i = 0; i < n; ++i)
                block.channel(c)[i] = float(signal(c, start + pos + i));
        }
        dsp.process(block);
        for (int c = 0; c < dsp.count(); ++c) {
            out[size_t(c)].insert(out[size_t(c)].end(), block.channel(c), block.channel(c) + n);
        }
        pos += n;
    }
    return out;
}

double sine(double rate, double frequency, double amplitude, long n, double phase = 0) {
    return amplitude * std::sin(2 * std::numbers::pi * frequency * double(n) / rate + phase);
}

double truePeakDB(const std::vector<float>& x, unsigned rate) {
    ebur128_state* st = ebur128_init(1, rate, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, x.data(), x.size());
    double tp = 0;
    ebur128_true_peak(st, 0, &tp);
    ebur128_destroy(&st);
    return 20 * std::log10(tp);
}

double largestStep(const std::vector<float>& x, size_t from, size_t to) {
    double step = 0;
    for (size_t i = std::max<size_t>(from, 1); i < to; ++i) {
        step = std::max(step, std::abs(double(x[i]) - double(x[i - 1])));
    }
    return step;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(StreamingDSP, LatencyAndLimiterHoldFollowTheRate) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.limiterEnabled = true;
    settings.truePeakEnabled = false;
    for (auto [rate, latency] : {std::pair{48000.0, 240}, std::pair{8000.0, 40},
                                 std::pair{44100.0, 220}, std::pair{100.0, 1}}) {
        StreamingDSP dsp(rate, channels(1), settings);
        EXPECT_EQ(dsp.latency(), latency);
        // One frame over the ceiling: instant attack, then a hold of latency + 13 frames; the
        // frame comes out exactly `latency` frames later, at the ceiling.
        const auto out = run(dsp, 1 + latency + 5, [](int, long n) { return n == 0 ? 4.0 : 0; });
        EXPECT_FLOAT_EQ(out[0][size_t(latency)], float(std::pow(10, -1.0 / 20)));
        StreamingDSP probe(rate, channels(1), settings);
        AudioBuffer block(1, 1);
        block.setFrameLength(1);
        block.channel(0)[0] = 4.0f;
        probe.process(block);
        EXPECT_EQ(probe.limiterHold(), latency + 13);
        const double held = probe.limiterGain();
        EXPECT_LT(held, 0.3);
        block.channel(0)[0] = 0;
        for (int i = 0; i < latency + 13; ++i) {
            probe.process(block);
            ASSERT_EQ(probe.limiterGain(), held);
        }
        probe.process(block);
        EXPECT_GT(probe.limiterGain(), held);
        EXPECT_GT(probe.limiterReduction(), 0);
    }
    EXPECT_THROW(StreamingDSP(0, channels(1), settings), std::invalid_argument);
    EXPECT_THROW(StreamingDSP(kNaN, channels(1), settings), std::invalid_argument);
}

TEST(StreamingDSP, OutputIsTheInputDelayedByTheLatency) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    StreamingDSP dsp(48000, channels(2), settings);
    const auto out = run(
        dsp, 2000, [](int c, long n) { return sine(48000, 440, 0.5, n, c); }, 100);
    for (long n = 0; n < 2000; ++n) {
        const double expected = n < 240 ? 0.0 : float(sine(48000, 440, 0.5, n - 240, 1));
        ASSERT_EQ(out[1][size_t(n)], expected) << n;
    }
}

TEST(StreamingDSP, NonFiniteSamplesBecomeSilenceAndNeverReachAFilter) {
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    settings.bleedEnabled = true;
    settings.bleedMode = LavBleedMode::interview;
    StreamingDSP dsp(48000, channels(2), settings);
    const double bad[] = {kNaN, kInf, -kInf};
    const auto out = run(dsp, 4800, [&](int c, long n) {
        return n % 3 == 0 ? bad[(n / 3 + c) % 3] : sine(48000, 300, 0.3, n);
    });
    for (const auto& channel : out) {
        for (float y : channel)
            ASSERT_TRUE(std::isfinite(y));
    }
    // Frames whose input was entirely non-finite come out (after the latency) as gaps of
    // exactly the EQ'd silence path: nothing infinite got in.
    for (int c = 0; c < 2; ++c) {
        for (const Biquad& f : dsp.filters(c)) {
            EXPECT_TRUE(std::isfinite(f.z1) && std::isfinite(f.z2));
        }
        EXPECT_TRUE(std::isfinite(dsp.levelerGain()[size_t(c)]));
    }
    EXPECT_TRUE(std::isfinite(dsp.compressorReduction()));
    EXPECT_TRUE(std::isfinite(dsp.limiterReduction()));

    // A block that is all NaN/∞ into a bypassed chain gives exact zeros.
    StreamingDSP plain(48000, channels(1), ProcessingSettings::bypass());
    const auto zeros = run(plain, 1000, [&](int, long n) { return bad[n % 3]; });
    for (float y : zeros[0])
        ASSERT_EQ(y, 0.0f);
}

TEST(StreamingDSP, UnselectedChannelsAreOnlyDelayed) {
    ProcessingSettings settings;
    settings.outputGain = 12;
    settings.levelerEnabled = true;
    settings.bleedEnabled = true;
    settings.ceiling = -20;
    StreamingDSP dsp(48000, channels(3, false), settings);
    const auto signal = [](int c, long n) { return sine(48000, 100 + 300 * c, 0.9, n); };
    const auto out = run(dsp, 9600, signal, 333);
    for (int c = 0; c < 3; ++c) {
        for (long n = 0; n < 9600; ++n) {
            const float expected = n < 240 ? 0.0f : float(signal(c, n - 240));
            ASSERT_EQ(out[size_t(c)][size_t(n)], expected) << c << " " << n;
        }
    }
    EXPECT_EQ(dsp.compressorReduction(), 0);
    EXPECT_EQ(dsp.limiterReduction(), 0);
    EXPECT_EQ(dsp.limiterGain(), 1);
}

TEST(StreamingDSP, TruePeakCeilingStaysBelowTheTargetWhileTheClipStaysAtTheCeiling) {
    // A quarter-rate sine at 45°: its true peak is ~3 dB over its samples.
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.limiterEnabled = true;
    settings.truePeakEnabled = true;
    settings.ceiling = 0;
    settings.outputGain = 6;
    const auto signal = [](int, long n) {
        return std::sin(std::numbers::pi / 2 * double(n) + std::numbers::pi / 4);
    };
    StreamingDSP dsp(48000, channels(1), settings);
    const auto out = run(dsp, 48000, signal);
    EXPECT_LE(truePeakDB(out[0], 48000), -0.15 + 0.001);
    EXPECT_GT(truePeakDB(out[0], 48000), -0.3);
    for (float y : out[0])
        ASSERT_LE(std::abs(y), 1.0f);

    // Bursts of band-limited noise with sudden onsets also stay under the true-peak target.
    uint32_t state = 1;
    Biquad shape(EQKind::lowPass, 48000, 6000, 0, 0.7);
    const auto bursts = [&](int, long n) {
        state = state * 1664525u + 1013904223u;
        const double white = shape.process(double(state) / 4294967296.0 * 2 - 1);
        return (n / 2400) % 2 ? 2 * white : 0.05 * white;
    };
    StreamingDSP noisy(48000, channels(1), settings);
    const auto noiseOut = run(noisy, 96000, bursts);
    EXPECT_LE(truePeakDB(noiseOut[0], 48000), -0.15 + 0.01) << truePeakDB(noiseOut[0], 48000);

    // With true peak off, the limiter and the clip are both at the ceiling (1.0).
    settings.truePeakEnabled = false;
    StreamingDSP samplePeak(48000, channels(1), settings);
    const auto flat = run(samplePeak, 48000, signal);
    float largest = 0;
    for (float y : flat[0])
        largest = std::max(largest, std::abs(y));
    EXPECT_LE(largest, 1.0f);
    EXPECT_GT(largest, 0.999f);
}

TEST(StreamingDSP, CompressorSwitchFadesOverTenMilliseconds) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.compressorEnabled = true;
    settings.threshold = -30;
    StreamingDSP dsp(48000, channels(1), settings);
    const auto signal = [](int, long n) { return sine(48000, 200, 0.5, n); };
    run(dsp, 24000, signal);
    const double engaged = dsp.compressorReduction();
    ASSERT_GT(engaged, 10);

    settings.compressorEnabled = false;
    dsp.update(settings, channels(1));
    run(dsp, 480, signal, 480, -1, {}, 24000);
    EXPECT_NEAR(dsp.compressorReduction() / engaged, std::exp(-1.0), 0.03);
    run(dsp, 9600, signal, 512, -1, {}, 24480);
    EXPECT_LT(dsp.compressorReduction(), 0.01);

    // The static law: hard knee, soft knee and ratio 1.
    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-8, -18, 3, 0), 10 * (1 - 1.0 / 3));
    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-28, -18, 3, 0), 0);
    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-18, -18, 4, 6), 0.75 * 9 / 12);
    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-8, -18, 0.5, 0), 0);
}

TEST(StreamingDSP, RestorationOnlyUpdatesLeaveTheOutputBitIdentical) {
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    settings.threshold = -30;
    const auto signal = [](int c, long n) { return sine(48000, 150 + 90 * c, 0.4, n); };
    StreamingDSP reference(48000, channels(2), settings);
    StreamingDSP edited(48000, channels(2), settings);
    const auto expected = run(reference, 20000, signal);
    const auto got = run(edited, 20000, signal, 512, 7000, [&] {
        ProcessingSettings changed = settings;
        changed.isolation = true;
        changed.modelID = "sidon";
        changed.reduction = 3;
        changed.originalMix = 40;
        changed.sidonQuality = SidonQuality::careful;
        edited.update(changed, channels(2));
    });
    EXPECT_EQ(got, expected);

    // An effective update does change the chain (the comparison above is meaningful).
    StreamingDSP changed(48000, channels(2), settings);
    const auto other = run(changed, 20000, signal, 512, 7000, [&] {
        ProcessingSettings s = settings;
        s.makeup = 0.5;
        changed.update(s, channels(2));
    });
    EXPECT_NE(other, expected);
}

TEST(StreamingDSP, OutputGainIsUnclampedOnlyAtConstruction) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.outputGain = 40;
    StreamingDSP dsp(48000, channels(1), settings);
    EXPECT_DOUBLE_EQ(dsp.targetOutputGain(), 100);
    const auto loud = run(dsp, 2000, [](int, long) { return 0.001; });
    EXPECT_NEAR(loud[0].back(), 0.1, 1e-6);

    settings.threshold = -17;  // make the update effective
    dsp.update(settings, channels(1));
    EXPECT_DOUBLE_EQ(dsp.targetOutputGain(), std::pow(10, 24.0 / 20));
    const auto clamped = run(dsp, 24000, [](int, long) { return 0.001; });
    EXPECT_NEAR(clamped[0].back(), 0.001 * std::pow(10, 24.0 / 20), 1e-6);

    settings.outputGain = kNaN;
    dsp.update(settings, channels(1));
    EXPECT_DOUBLE_EQ(dsp.targetOutputGain(), 1);
    StreamingDSP nan(48000, channels(1), settings);
    EXPECT_DOUBLE_EQ(nan.targetOutputGain(), 1);
}

TEST(StreamingDSP, LiveEditsNeverClick) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.eqEnabled = true;
    settings.eqBands = {EQBand(0, EQKind::lowShelf, 150, 0, 0.7)};
    const auto signal = [](int, long n) { return sine(48000, 120, 0.1, n); };
    const long edit = 12000 + 137, total = 36000;

    struct Case {
        const char* name;
        bool eq;
        std::function<void(ProcessingSettings&)> change;
    };
    const Case cases[] = {
        {"EQ gain", true, [](ProcessingSettings& s) { s.eqBands[0].gain = 18; }},
        {"output gain", false, [](ProcessingSettings& s) { s.outputGain = 18; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamingDSP dsp(48000, channels(1), settings);
        ProcessingSettings target = settings;
        c.change(target);
        const auto out =
            run(dsp, total, signal, 256, edit, [&] { dsp.update(target, channels(1)); });
        // The signal's own largest step before and after the edit (steady state).
        const size_t e = size_t(edit + dsp.latency());
        const double own =
            std::max(largestStep(out[0], e - 4000, e), largestStep(out[0], total - 4000, total));
        EXPECT_LE(largestStep(out[0], e - 10, e + 4000), own * 1.05);
        // A click is broadband: above 4 kHz a clean 120 Hz tone leaves next to nothing, a
        // switched coefficient set or gain leaves a spike.
        Biquad hp1(EQKind::highPass, 48000, 4000, 0, 0.54),
            hp2(EQKind::highPass, 48000, 4000, 0, 1.31);
        double steady = 0, around = 0;
        for (size_t n = 0; n < out[0].size(); ++n) {
            const double r = std::abs(hp2.process(hp1.process(out[0][n])));
            if (n >= e - 6000 && n < e - 2000) steady = std::max(steady, r);
            if (n >= e - 10 && n < e + 4000) around = std::max(around, r);
        }
        // (The output gain's one-pole starts with a kink of its own; only the EQ glide is held
        // to this. Switching the coefficients at once leaves about 1e-3 here.)
        if (c.eq) {
            EXPECT_LE(around, std::max(4 * steady, 1e-5));
        }
    }
}

TEST(StreamingDSP, BandCountChangeSwitchesSectionsAtOnce) {
    ProcessingSettings settings;
    StreamingDSP dsp(48000, channels(2), settings);
    run(dsp, 4800, [](int, long n) { return sine(48000, 1000, 0.2, n); });
    ProcessingSettings more = settings;
    more.eqBands.push_back(EQBand(8, EQKind::peak, 3000, 6, 2));
    dsp.update(more, channels(2));
    ASSERT_EQ(dsp.filters(1).size(), 9u);
    for (size_t j = 0; j < 9; ++j)
        EXPECT_EQ(dsp.filters(1)[j], dsp.targets()[j]);

    // Same band count: coefficients glide over 10 ms, the state is kept.
    ProcessingSettings louder = more;
    louder.eqBands[8].gain = 12;
    run(dsp, 480, [](int, long n) { return sine(48000, 1000, 0.2, n); });
    const double z = dsp.filters(0)[8].z1;
    dsp.update(louder, channels(2));
    EXPECT_EQ(dsp.filters(0)[8].z1, z);
    EXPECT_NE(dsp.filters(0)[8].b0, dsp.targets()[8].b0);
    run(dsp, 479, [](int, long) { return 0.0; });
    EXPECT_NE(dsp.filters(0)[8].b0, dsp.targets()[8].b0);
    run(dsp, 1, [](int, long) { return 0.0; });
    EXPECT_DOUBLE_EQ(dsp.filters(0)[8].b0, dsp.targets()[8].b0);
}

TEST(StreamingDSP, SidechainDrivesTheBleedDetector) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.bleedEnabled = true;
    settings.bleedMode = LavBleedMode::interview;
    const auto talk = [](long n) { return sine(48000, 500, 0.2, n) + sine(48000, 1300, 0.1, n); };
    StreamingDSP dsp(48000, channels(2), settings);
    AudioBuffer block(2, 480), side(2, 480);
    for (long pos = 0; pos < 48000; pos += 480) {
        block.setFrameLength(480);
        side.setFrameLength(480);
        for (uint32_t i = 0; i < 480; ++i) {
            // Both program channels equal; the unprocessed source has B 12 dB down.
            block.channel(0)[i] = block.channel(1)[i] = float(talk(pos + i));
            side.channel(0)[i] = float(talk(pos + i));
            side.channel(1)[i] = float(talk(pos + i) / 4);
        }
        dsp.process(block, &side);
    }
    EXPECT_NEAR(dsp.bleedReduction()[1], 8, 0.1);
    EXPECT_EQ(dsp.bleedReduction()[0], 0);
    // The last output frame of B is attenuated by the meter's amount against A.
    const double ratio = block.channel(1)[479] / block.channel(0)[479];
    EXPECT_NEAR(20 * std::log10(ratio), -8, 0.2);

    // Without the sidechain the two equal channels stay open.
    StreamingDSP plain(48000, channels(2), settings);
    run(plain, 48000, [&](int, long n) { return talk(n); });
    EXPECT_EQ(plain.bleedReduction()[1], 0);
}

TEST(StreamingDSP, BlocksOfTheWrongShapeAreHandledSafely) {
    ProcessingSettings settings;
    StreamingDSP dsp(48000, channels(3), settings);
    AudioBuffer empty;
    dsp.process(empty);
    AudioBuffer zeroFrames(3, 16);
    dsp.process(zeroFrames);
    AudioBuffer narrow(2, 64);  // one channel short: processed as silence, not written
    narrow.setFrameLength(64);
    std::fill(narrow.channel(0), narrow.channel(0) + 64, 0.5f);
    dsp.process(narrow);
    AudioBuffer shortSide(1, 8);  // a sidechain with too few channels and frames
    shortSide.setFrameLength(8);
    AudioBuffer block(3, 64);
    block.setFrameLength(64);
    dsp.process(block, &shortSide);
    StreamingDSP none(48000, {}, settings);
    EXPECT_EQ(none.count(), 0);
    none.process(block);
    EXPECT_EQ(none.levelerGain().size(), 0u);
}
