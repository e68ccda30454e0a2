// The streaming finishing processor: latency and limiter hold, bad samples, pass-through of
// unselected channels, the ceilings, glides and the update rules.

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

#include "audiocore/dsp/StreamingDSP.hpp"

using namespace corvaline;

namespace {

using Signal = std::function<double(int channel, long frame)>;
using Output = std::vector<std::vector<float>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<ChannelSettings> channels(int n, bool process = true) {
    return std::vector<ChannelSettings>(size_t(n), ChannelSettings{process});
}

/// Frames [start, start + frames) of `signal` through `dsp`, appended to `out`.
void run(StreamingDSP& dsp, Output& out, long start, long frames, const Signal& signal,
         uint32_t blockSize = 512) {
    AudioBuffer block(dsp.count(), blockSize);
    out.resize(size_t(dsp.count()));
    for (long pos = start; pos < start + frames; pos += blockSize) {
        block.setFrameLength(uint32_t(std::min<long>(blockSize, start + frames - pos)));
        for (int c = 0; c < dsp.count(); ++c) {
            for (uint32_t i = 0; i < block.frameLength(); ++i) {
                block.channel(c)[i] = float(signal(c, pos + i));
            }
        }
        dsp.process(block);
        for (int c = 0; c < dsp.count(); ++c) {
            out[size_t(c)].insert(out[size_t(c)].end(), block.channel(c),
                                  block.channel(c) + block.frameLength());
        }
    }
}

Output run(StreamingDSP& dsp, long frames, const Signal& signal) {
    Output out;
    run(dsp, out, 0, frames, signal);
    return out;
}

Signal sine(double frequency, double amplitude) {
    return [=](int c, long n) {
        return amplitude * std::sin(2 * std::numbers::pi * frequency * double(n) / 48000 + c);
    };
}

double truePeakDB(const std::vector<float>& x) {
    ebur128_state* st = ebur128_init(1, 48000, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, x.data(), x.size());
    double tp = 0;
    ebur128_true_peak(st, 0, &tp);
    ebur128_destroy(&st);
    return 20 * std::log10(tp);
}

ProcessingSettings limiterOnly(bool truePeak, double ceiling) {
    ProcessingSettings s = ProcessingSettings::bypass();
    s.limiterEnabled = true;
    s.truePeakEnabled = truePeak;
    s.ceiling = ceiling;
    return s;
}

}  // namespace

TEST(StreamingDSP, LatencyAndLimiterHoldFollowTheRate) {
    for (auto [rate, latency] : {std::pair{48000.0, 240}, std::pair{8000.0, 40}}) {
        StreamingDSP dsp(rate, channels(1), limiterOnly(false, -1));
        EXPECT_EQ(dsp.latency(), latency);
        // One frame over the ceiling: instant attack, held for latency + 13 frames, and the
        // frame itself comes out `latency` frames later at the ceiling.
        Output out;
        run(dsp, out, 0, 1, [](int, long) { return 4.0; });
        EXPECT_EQ(dsp.limiterHold(), latency + 13);
        const double held = dsp.limiterGain();
        run(dsp, out, 1, latency + 13, [](int, long) { return 0.0; });
        EXPECT_EQ(dsp.limiterGain(), held);
        EXPECT_FLOAT_EQ(out[0][size_t(latency)], float(std::pow(10, -1.0 / 20)));
        run(dsp, out, 0, 1, [](int, long) { return 0.0; });
        EXPECT_GT(dsp.limiterGain(), held);
    }
    EXPECT_THROW(StreamingDSP(kNaN, channels(1), {}), std::invalid_argument);
}

TEST(StreamingDSP, NonFiniteSamplesBecomeZeroAndNeverReachAFilter) {
    ProcessingSettings settings;
    settings.levelerEnabled = settings.bleedEnabled = true;
    StreamingDSP dsp(48000, channels(2), settings);
    const double bad[] = {kNaN, std::numeric_limits<double>::infinity(), -1e39};
    const auto out = run(dsp, 4800, [&](int c, long n) {
        return n % 3 == 0 ? bad[size_t(n / 3 + c) % 3] : std::sin(0.03 * double(n));
    });
    for (const auto& channel : out) {
        for (float y : channel)
            ASSERT_TRUE(std::isfinite(y));
    }
    for (int c = 0; c < 2; ++c) {
        for (const Biquad& f : dsp.filters(c)) {
            EXPECT_TRUE(std::isfinite(f.z1 + f.z2));
        }
    }
    StreamingDSP plain(48000, channels(1), ProcessingSettings::bypass());
    const auto zeros = run(plain, 1000, [&](int, long n) { return bad[n % 2]; });
    for (float y : zeros[0]) {
        ASSERT_EQ(y, 0);
    }
}

TEST(StreamingDSP, UnselectedChannelsAreOnlyDelayed) {
    ProcessingSettings settings;
    settings.outputGain = 12;
    settings.levelerEnabled = settings.bleedEnabled = true;
    settings.ceiling = -20;
    StreamingDSP dsp(48000, channels(3, false), settings);
    const Signal signal = sine(300, 0.9);
    const auto out = run(dsp, 9600, signal);
    for (int c = 0; c < 3; ++c) {
        for (long n = 0; n < 9600; ++n) {
            const float expected = n < 240 ? 0.0f : float(signal(c, n - 240));
            ASSERT_EQ(out[size_t(c)][size_t(n)], expected) << c << " " << n;
        }
    }
    EXPECT_EQ(dsp.compressorReduction(), 0);
    EXPECT_EQ(dsp.limiterReduction(), 0);
}

TEST(StreamingDSP, TruePeakStaysUnderTheTargetWhileTheClipStaysAtTheCeiling) {
    // Quarter-rate sine at 45°: its true peak is ~3 dB over its samples; pushed 6 dB over.
    const Signal crest = [](int, long n) {
        return 2 * std::sin(std::numbers::pi / 2 * double(n) + std::numbers::pi / 4);
    };
    StreamingDSP dsp(48000, channels(1), limiterOnly(true, 0));
    const auto out = run(dsp, 48000, crest);
    EXPECT_LE(truePeakDB(out[0]), -0.15 + 0.001);
    EXPECT_GT(truePeakDB(out[0]), -0.3);
    // Bursts of band-limited noise 6 dB over, with sudden onsets: requests that arrive while a
    // deeper reduction is held must still be honoured when they leave the lookahead.
    uint32_t state = 1;
    Biquad shape(EQKind::lowPass, 48000, 6000, 0, 0.7);
    const Signal bursts = [&](int, long n) {
        state = state * 1664525u + 1013904223u;
        const double white = shape.process(double(state) / 4294967296.0 * 2 - 1);
        return (n / 2400) % 2 ? 2 * white : 0.05 * white;
    };
    StreamingDSP noisy(48000, channels(1), limiterOnly(true, 0));
    EXPECT_LE(truePeakDB(run(noisy, 96000, bursts)[0]), -0.15 + 0.01);

    // True peak off: limiter and clip both at 1.0.
    StreamingDSP samplePeak(48000, channels(1), limiterOnly(false, 0));
    const auto flat = run(samplePeak, 48000, crest);
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
    Output out;
    run(dsp, out, 0, 24000, sine(200, 0.5));
    const double engaged = dsp.compressorReduction();
    ASSERT_GT(engaged, 10);
    settings.compressorEnabled = false;
    dsp.update(settings, channels(1));
    run(dsp, out, 24000, 480, sine(200, 0.5));
    EXPECT_NEAR(dsp.compressorReduction() / engaged, std::exp(-1.0), 0.03);

    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-8, -18, 3, 0), 10 * (1 - 1.0 / 3));
    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-18, -18, 4, 6), 0.75 * 9 / 12);  // soft knee
    EXPECT_DOUBLE_EQ(StreamingDSP::reduction(-8, -18, 0.5, 0), 0);
}

TEST(StreamingDSP, RestorationOnlyUpdatesLeaveTheOutputBitIdentical) {
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    settings.threshold = -30;
    StreamingDSP reference(48000, channels(2), settings), edited(48000, channels(2), settings),
        changed(48000, channels(2), settings);
    const auto expected = run(reference, 20000, sine(150, 0.4));
    Output got, other;
    run(edited, got, 0, 7000, sine(150, 0.4));
    run(changed, other, 0, 7000, sine(150, 0.4));
    ProcessingSettings ai = settings;
    ai.isolation = true;
    ai.modelID = "sidon";
    ai.reduction = 3;
    ai.originalMix = 40;
    ai.sidonQuality = SidonQuality::careful;
    edited.update(ai, channels(2));
    ProcessingSettings makeup = settings;
    makeup.makeup = 0.5;
    changed.update(makeup, channels(2));  // a real change does alter the output
    run(edited, got, 7000, 13000, sine(150, 0.4));
    run(changed, other, 7000, 13000, sine(150, 0.4));
    EXPECT_EQ(got, expected);
    EXPECT_NE(other, expected);
}

TEST(StreamingDSP, OutputGainIsUnclampedOnlyAtConstruction) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.outputGain = 40;
    StreamingDSP dsp(48000, channels(1), settings);
    EXPECT_NEAR(run(dsp, 2000, [](int, long) { return 0.001; })[0].back(), 0.1, 1e-6);
    settings.threshold = -17;  // any chain change makes the update effective
    dsp.update(settings, channels(1));
    EXPECT_NEAR(run(dsp, 24000, [](int, long) { return 0.001; })[0].back(),
                0.001 * std::pow(10, 24.0 / 20), 1e-6);
}

TEST(StreamingDSP, LiveEditsNeverClick) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.eqEnabled = true;
    settings.eqBands = {EQBand(0, EQKind::lowShelf, 150, 0, 0.7)};
    for (bool eq : {true, false}) {
        SCOPED_TRACE(eq ? "EQ gain" : "output gain");
        StreamingDSP dsp(48000, channels(1), settings);
        Output out;
        run(dsp, out, 0, 12137, sine(120, 0.1));
        ProcessingSettings edit = settings;
        (eq ? edit.eqBands[0].gain : edit.outputGain) = 18;
        dsp.update(edit, channels(1));
        run(dsp, out, 12137, 24000, sine(120, 0.1));
        const auto largestStep = [&](size_t from, size_t to) {
            double step = 0;
            for (size_t i = from; i < to; ++i) {
                step = std::max(step, std::abs(double(out[0][i]) - out[0][i - 1]));
            }
            return step;
        };
        const size_t e = 12137 + 240;
        const double own = std::max(largestStep(e - 4000, e), largestStep(32000, 36137));
        EXPECT_LE(largestStep(e - 10, e + 4000), own * 1.05);
        // A click is broadband: above 4 kHz a 120 Hz tone leaves next to nothing, while
        // switching the EQ coefficients at once leaves about 1e-3. (The output gain's one-pole
        // starts with a kink of its own, so only the EQ glide is held to this.)
        Biquad hp1(EQKind::highPass, 48000, 4000, 0, 0.54),
            hp2(EQKind::highPass, 48000, 4000, 0, 1.31);
        double steady = 0, around = 0;
        for (size_t n = 0; n < e + 4000; ++n) {
            const double r = std::abs(hp2.process(hp1.process(out[0][n])));
            if (n >= e - 6000 && n < e - 2000) steady = std::max(steady, r);
            if (n >= e - 10) around = std::max(around, r);
        }
        if (eq) {
            EXPECT_LE(around, std::max(4 * steady, 1e-5));
        }
    }
}

TEST(StreamingDSP, SidechainDrivesTheBleedDetector) {
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.bleedEnabled = true;
    settings.bleedMode = LavBleedMode::interview;
    StreamingDSP dsp(48000, channels(2), settings);
    AudioBuffer block(2, 480), side(2, 480);
    block.setFrameLength(480);
    side.setFrameLength(480);
    const Signal talk = sine(500, 0.2);
    for (long pos = 0; pos < 48000; pos += 480) {
        for (uint32_t i = 0; i < 480; ++i) {  // equal programme, B 12 dB down at the source
            block.channel(0)[i] = block.channel(1)[i] = side.channel(0)[i] =
                float(talk(0, pos + i));
            side.channel(1)[i] = float(talk(0, pos + i) / 4);
        }
        dsp.process(block, &side);
    }
    EXPECT_NEAR(dsp.bleedReduction()[1], 8, 0.1);
    EXPECT_NEAR(20 * std::log10(block.channel(1)[479] / block.channel(0)[479]), -8, 0.2);
    StreamingDSP plain(48000, channels(2), settings);  // without it: both open
    run(plain, 48000, [&](int, long n) { return talk(0, n); });
    EXPECT_EQ(plain.bleedReduction()[1], 0);
    // Short or narrow blocks and sidechains are handled without harm.
    AudioBuffer narrow(1, 64), empty;
    narrow.setFrameLength(64);
    dsp.process(narrow, &narrow);
    dsp.process(empty);
}

TEST(StreamingDSP, BlockSizeNeverChangesTheOutput) {
    // Every module on, one channel left unselected, an edit half way: one-frame blocks are the
    // frame-by-frame reference for any longer block.
    for (LavBleedMode mode : {LavBleedMode::correlated, LavBleedMode::interview}) {
        ProcessingSettings settings;
        settings.levelerEnabled = true;
        settings.bleedEnabled = true;
        settings.bleedMode = mode;
        for (EQBand& band : settings.eqBands) {
            band.enabled = true;
            if (hasGain(band.kind)) band.gain = 2.5;
        }
        ProcessingSettings edited = settings;
        edited.eqBands[3].gain = -6;
        edited.outputGain = 4;
        edited.compressorEnabled = false;
        std::vector<ChannelSettings> flags = channels(4);
        flags[2].process = false;
        const Signal speech = [](int c, long n) {
            const double t = double(n) / 48000;
            const double talker = (int(t / 0.15) % 2 == c % 2) ? 0.9 : 0.12;
            return talker * std::sin(2 * std::numbers::pi * (170 + 40 * c) * t) *
                   std::sin(2 * std::numbers::pi * 3 * t);
        };
        std::vector<Output> outputs;
        std::vector<std::array<double, 3>> meters;
        for (uint32_t blockSize : {1u, 100u, 3000u, 4096u}) {
            StreamingDSP dsp(48000, flags, settings);
            Output out;
            run(dsp, out, 0, 12000, speech, blockSize);
            dsp.update(edited, flags);
            run(dsp, out, 12000, 12000, speech, blockSize);
            outputs.push_back(out);
            meters.push_back(
                {dsp.compressorReduction(), dsp.limiterReduction(), dsp.bleedReduction()[1]});
        }
        for (size_t k = 1; k < outputs.size(); ++k) {
            EXPECT_EQ(outputs[k], outputs[0]) << "block size index " << k;
            EXPECT_EQ(meters[k], meters[0]) << "block size index " << k;
        }
    }
}

TEST(StreamingDSP, PassThroughSectionsAreSkippedWithoutChangingASample) {
    // The default EQ: a high-pass and 0 dB shelves and bells, which pass their input through.
    // With the dynamics off, the chain is the section cascade run sample by sample, delayed by
    // the lookahead; then a bell comes in through a glide and the glide ends.
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.eqEnabled = true;
    settings.eqBands = EQBand::defaults();
    ProcessingSettings edited = settings;
    edited.eqBands[3].gain = 5;
    const Signal signal = [](int c, long n) {
        return n % 700 < 40 ? 0.0 : sine(300 + 90 * c, 0.6)(c, n);  // zeros among the samples
    };
    StreamingDSP dsp(48000, channels(3), settings);
    Output out;
    run(dsp, out, 0, 6000, signal, 777);
    dsp.update(edited, channels(3));
    run(dsp, out, 6000, 6000, signal, 777);

    for (int c = 0; c < 3; ++c) {
        std::vector<Biquad> sections;
        const auto design = [](const EQBand& band) {
            return band.enabled ? Biquad(band, 48000) : Biquad::identity();
        };
        for (const EQBand& band : settings.eqBands)
            sections.push_back(design(band));
        std::vector<Biquad> targets;
        for (const EQBand& band : edited.eqBands)
            targets.push_back(design(band));
        int64_t glide = 0;
        for (long n = 0; n + dsp.latency() < 12000; ++n) {
            if (n == 6000) glide = glideFrames(48000);
            if (glide > 0) {
                const double step = 1.0 / double(glide--);
                for (size_t j = 0; j < sections.size(); ++j) {
                    Biquad& f = sections[j];
                    const Biquad& t = targets[j];
                    f.b0 += step * (t.b0 - f.b0);
                    f.b1 += step * (t.b1 - f.b1);
                    f.b2 += step * (t.b2 - f.b2);
                    f.a1 += step * (t.a1 - f.a1);
                    f.a2 += step * (t.a2 - f.a2);
                }
            }
            double v = double(float(signal(c, n)));
            for (Biquad& f : sections)
                v = f.process(v);
            ASSERT_EQ(out[size_t(c)][size_t(n + dsp.latency())], float(v))
                << "channel " << c << " frame " << n;
        }
    }
}
