#include "audiocore/dsp/StreamingDSP.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <immintrin.h>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/VectorMath.hpp"
#include "audiocore/dsp/Vectors.hpp"
#include "audiocore/model/SettingsFields.hpp"

namespace corvaline {

using dsp_detail::onePole;

namespace {

/// 0.15 dB below the ceiling: the true-peak target leaves room for the interpolator's error.
constexpr double kTruePeakMargin = 0.9828788730000322;
/// The true-peak interpolator's delay line, in frames.
constexpr int kInterpolatorDelay = 13;
/// Room kept in the EQ arrays so that adding bands in an update does not allocate.
constexpr size_t kReservedBands = 16;

double checkedRate(double rate) {
    if (!std::isfinite(rate) || rate <= 0 || rate > 1e7) {
        throw std::invalid_argument("StreamingDSP: the sample rate must be positive and finite");
    }
    return rate;
}

/// Runs one sample of two channels through their section cascades, interleaved: the same
/// arithmetic as Biquad::process, with the two dependency chains side by side.
inline void filterPair(Biquad* f, Biquad* g, size_t bands, double& x, double& u) {
    double v = x;
    double w = u;
    for (size_t j = 0; j < bands; ++j) {
        Biquad& p = f[j];
        Biquad& q = g[j];
        const double yv = p.b0 * v + p.z1;
        const double yw = q.b0 * w + q.z1;
        p.z1 = p.z2 + (p.b1 * v - p.a1 * yv);
        q.z1 = q.z2 + (q.b1 * w - q.a1 * yw);
        p.z2 = p.b2 * v - p.a2 * yv;
        q.z2 = q.b2 * w - q.a2 * yw;
        v = yv;
        w = yw;
    }
    x = v;
    u = w;
}

/// The state of a wavefront of `kUnits` units, held in registers over a stage.
template <size_t kUnits>
struct WaveState {
    __m256d z1[kUnits];
    __m256d z2[kUnits];
    __m128d carry[kUnits];
};

/// One step of the wavefront: unit u holds section 2u of frame s − u (low half: the two
/// channels) and section 2u + 1 of frame s − u − 1 (high half). The low half takes the previous
/// unit's high output of this step (or the input frame), the high half its own low output of
/// the last step. Every lane does exactly the arithmetic of Biquad::process. In a masked step
/// only the lanes whose frame lies inside the stage keep their new state.
template <size_t kUnits, bool kMasked>
__attribute__((target("avx2"), always_inline)) inline __m128d waveStep(
    const StreamingDSP::UnitSection* units, WaveState<kUnits>& state, __m128d x, long step,
    long staged) {
#pragma GCC unroll 8
    for (size_t u = 0; u < kUnits; ++u) {
        const StreamingDSP::UnitSection& f = units[u];
        const __m256d X = _mm256_set_m128d(state.carry[u], x);
        const __m256d Y = _mm256_add_pd(_mm256_mul_pd(f.b0, X), state.z1[u]);
        const __m256d z1 = _mm256_add_pd(
            state.z2[u], _mm256_sub_pd(_mm256_mul_pd(f.b1, X), _mm256_mul_pd(f.a1, Y)));
        const __m256d z2 = _mm256_sub_pd(_mm256_mul_pd(f.b2, X), _mm256_mul_pd(f.a2, Y));
        if constexpr (kMasked) {
            const long low = step - long(u);
            const long high = low - 1;
            const long long keepLow = low >= 0 && low < staged ? -1 : 0;
            const long long keepHigh = high >= 0 && high < staged ? -1 : 0;
            const __m256d keep =
                _mm256_castsi256_pd(_mm256_set_epi64x(keepHigh, keepHigh, keepLow, keepLow));
            state.z1[u] = _mm256_blendv_pd(state.z1[u], z1, keep);
            state.z2[u] = _mm256_blendv_pd(state.z2[u], z2, keep);
        } else {
            state.z1[u] = z1;
            state.z2[u] = z2;
        }
        state.carry[u] = _mm256_castpd256_pd128(Y);
        x = _mm256_extractf128_pd(Y, 1);
    }
    return x;
}

/// Runs 2 × `kUnits` sections over the staged frames of two channels (`values` frame-major
/// with `stride`), in place. Frame k leaves the last unit `kUnits` steps after it entered. The
/// sections' state stays in registers for the stage (a unit count known when compiling lets
/// it); only the coefficients are read from `units`.
template <size_t kUnits>
__attribute__((target("avx2"))) void runWavefront(StreamingDSP::UnitSection* units, double* values,
                                                  size_t stride, int first, int second,
                                                  long staged) {
    WaveState<kUnits> state;
    for (size_t u = 0; u < kUnits; ++u) {
        state.z1[u] = units[u].z1;
        state.z2[u] = units[u].z2;
        state.carry[u] = _mm_setzero_pd();
    }
    const long lag = long(kUnits);
    const long steps = staged + lag;
    for (long s = 0; s < steps; ++s) {
        const __m128d x = s < staged ? _mm_set_pd(values[size_t(s) * stride + size_t(second)],
                                                  values[size_t(s) * stride + size_t(first)])
                                     : _mm_setzero_pd();
        const bool whole = s >= lag && s < staged;
        const __m128d y = whole ? waveStep<kUnits, false>(units, state, x, s, staged)
                                : waveStep<kUnits, true>(units, state, x, s, staged);
        const long out = s - lag;
        if (out >= 0) {
            values[size_t(out) * stride + size_t(first)] = _mm_cvtsd_f64(y);
            values[size_t(out) * stride + size_t(second)] = _mm_cvtsd_f64(_mm_unpackhi_pd(y, y));
        }
    }
    for (size_t u = 0; u < kUnits; ++u) {
        units[u].z1 = state.z1[u];
        units[u].z2 = state.z2[u];
    }
}

/// The state of an AVX-512 wavefront of `kUnits` units: each unit's section states and its
/// outputs of the last step.
template <size_t kUnits>
struct WideState {
    __m512d z1[kUnits];
    __m512d z2[kUnits];
    __m512d y[kUnits];
};

/// One step of the AVX-512 wavefront: lanes 2j, 2j + 1 of unit u hold section 4u + j of both
/// channels for frame s − 4u − j. A section's input is the output of the section before it
/// from the last step (one lane pair lower, or the previous unit's top pair), or the input
/// frame `in` (lanes 0, 1) for the first. Units go from the last to the first, so that each
/// reads its predecessor's output of the last step. Every lane does exactly the arithmetic of
/// Biquad::process; in a masked step only the lanes whose frame lies inside the stage keep
/// their new state.
template <size_t kUnits, bool kMasked>
__attribute__((target("avx512f"), always_inline)) inline void wideStep(
    const StreamingDSP::WideSection* units, WideState<kUnits>& state, __m512d in, long step,
    long staged) {
    // Lanes 0, 1 from the second operand's lanes 0, 1 (the input frame) or 6, 7 (the previous
    // unit's last section); lanes 2 … 7 from this unit's lanes 0 … 5.
    const __m512i fromInput = _mm512_set_epi64(5, 4, 3, 2, 1, 0, 9, 8);
    const __m512i fromUnit = _mm512_set_epi64(5, 4, 3, 2, 1, 0, 15, 14);
#pragma GCC unroll 4
    for (size_t i = 0; i < kUnits; ++i) {
        const size_t v = kUnits - 1 - i;
        const StreamingDSP::WideSection& f = units[v];
        const __m512d X = v == 0 ? _mm512_permutex2var_pd(state.y[0], fromInput, in)
                                 : _mm512_permutex2var_pd(state.y[v], fromUnit, state.y[v - 1]);
        const __m512d Y = _mm512_add_pd(_mm512_mul_pd(f.b0, X), state.z1[v]);
        const __m512d z1 = _mm512_add_pd(
            state.z2[v], _mm512_sub_pd(_mm512_mul_pd(f.b1, X), _mm512_mul_pd(f.a1, Y)));
        const __m512d z2 = _mm512_sub_pd(_mm512_mul_pd(f.b2, X), _mm512_mul_pd(f.a2, Y));
        if constexpr (kMasked) {
            const long base = step - 4 * long(v);
            const __m512i frame = _mm512_set_epi64(base - 3, base - 3, base - 2, base - 2, base - 1,
                                                   base - 1, base, base);
            const __mmask8 keep = _mm512_cmpge_epi64_mask(frame, _mm512_setzero_si512()) &
                                  _mm512_cmplt_epi64_mask(frame, _mm512_set1_epi64(staged));
            state.z1[v] = _mm512_mask_mov_pd(state.z1[v], keep, z1);
            state.z2[v] = _mm512_mask_mov_pd(state.z2[v], keep, z2);
        } else {
            state.z1[v] = z1;
            state.z2[v] = z2;
        }
        state.y[v] = Y;
    }
}

/// Runs 4 × `kUnits` sections over the staged frames of two channels (`values` frame-major
/// with `stride`), in place, with AVX-512. Frame k leaves the last section 4 × kUnits − 1
/// steps after it entered the first.
template <size_t kUnits>
__attribute__((target("avx512f"))) void runWideWavefront(StreamingDSP::WideSection* units,
                                                         double* values, size_t stride, int first,
                                                         int second, long staged) {
    WideState<kUnits> state;
    for (size_t u = 0; u < kUnits; ++u) {
        state.z1[u] = units[u].z1;
        state.z2[u] = units[u].z2;
        state.y[u] = _mm512_setzero_pd();
    }
    const long lag = 4 * long(kUnits) - 1;
    const long steps = staged + lag;
    for (long s = 0; s < steps; ++s) {
        const __m512d in =
            s < staged
                ? _mm512_castpd128_pd512(_mm_set_pd(values[size_t(s) * stride + size_t(second)],
                                                    values[size_t(s) * stride + size_t(first)]))
                : _mm512_setzero_pd();
        if (s >= lag && s < staged) {
            wideStep<kUnits, false>(units, state, in, s, staged);
        } else {
            wideStep<kUnits, true>(units, state, in, s, staged);
        }
        const long out = s - lag;
        if (out >= 0) {
            const __m512d last = state.y[kUnits - 1];
            values[size_t(out) * stride + size_t(first)] = last[6];
            values[size_t(out) * stride + size_t(second)] = last[7];
        }
    }
    for (size_t u = 0; u < kUnits; ++u) {
        units[u].z1 = state.z1[u];
        units[u].z2 = state.z2[u];
    }
}

/// runWideWavefront for 1 … kMaxWideUnits units.
template <size_t... kCounts>
void runWideWavefrontOf(size_t count, StreamingDSP::WideSection* units, double* values,
                        size_t stride, int first, int second, long staged,
                        std::index_sequence<kCounts...>) {
    ((count == kCounts + 1
          ? runWideWavefront<kCounts + 1>(units, values, stride, first, second, staged)
          : void()),
     ...);
}

/// runWavefront for 1 … kMaxUnits units.
template <size_t... kCounts>
void runWavefrontOf(size_t count, StreamingDSP::UnitSection* units, double* values, size_t stride,
                    int first, int second, long staged, std::index_sequence<kCounts...>) {
    ((count == kCounts + 1 ? runWavefront<kCounts + 1>(units, values, stride, first, second, staged)
                           : void()),
     ...);
}

}  // namespace

StreamingDSP::StreamingDSP(double rate, const std::vector<ChannelSettings>& channels,
                           const ProcessingSettings& settings)
    : latency_(std::max(1, int(std::floor(checkedRate(rate) * 0.005)))),
      rate_(rate),
      count_(int(channels.size())),
      settings_(settings),
      scratch_(settings),
      selected_(new bool[std::max<size_t>(channels.size(), 1)]()),
      smoothing_(rate, 0.01),
      ring_(channels.size() * size_t(latency_), 0.0),
      values_(channels.size() * size_t(kStageFrames), 0.0),
      leveler_(rate, int(channels.size())),
      bleed_(rate),
      peakDetector_(std::max(1, int(channels.size()))),
      peakSamples_(size_t(kStageFrames), 0.0f),
      minValue_(std::bit_ceil(size_t(latency_ + kInterpolatorDelay + 1)), 1.0),
      minFrame_(minValue_.size(), 0) {
    for (int c = 0; c < count_; ++c) {
        selected_[size_t(c)] = channels[size_t(c)].process;
    }
    // Room for later settings copies, so that update() reuses these buffers.
    for (ProcessingSettings* s : {&settings_, &scratch_}) {
        s->eqBands.reserve(kReservedBands);
        s->modelID.reserve(64);
    }
    bandCount_ = settings_.eqBands.size();
    targets_.reserve(std::max(bandCount_, kReservedBands));
    filters_.reserve(size_t(count_) * std::max(bandCount_, kReservedBands));
    designTargets();
    for (int c = 0; c < count_; ++c) {
        filters_.insert(filters_.end(), targets_.begin(), targets_.end());
    }

    compWet_ = settings_.compressorEnabled ? 1 : 0;
    // Taken as given here (an update clamps it); only a non-finite value falls back to 0 dB.
    gain_ = targetGain_ = std::pow(10.0, Setting::outputGain.finiteOr(settings_.outputGain) / 20);
    bleed_.configure(settings_);
    leveler_.configure(settings_);
    derive();
    peakDetector_.reserve(kStageFrames);
    active_.resize(kReservedBands);
    activeBands_.reserve(kReservedBands);
    lanes_.resize(kReservedBands);
    units_.resize(kMaxUnits);
    wide_.resize(kMaxWideUnits);
}

void StreamingDSP::derive() {
    const ProcessingSettings& s = settings_;
    Parameters& p = parameters_;
    p.attack = onePole(rate_, Setting::attack.guarded(s) / 1000);
    p.release = onePole(rate_, Setting::release.guarded(s) / 1000);
    p.limiterRelease = onePole(rate_, Setting::limiterRelease.guarded(s) / 1000);
    p.ceiling = std::pow(10.0, Setting::ceiling.guarded(s) / 20);
    p.truePeakTarget = p.ceiling * kTruePeakMargin;
    p.threshold = Setting::threshold.guarded(s);
    p.ratio = Setting::ratio.guarded(s);
    p.knee = Setting::knee.guarded(s);
    p.slope = 1 - 1 / std::max(p.ratio, 1.0);
    p.makeup = Setting::makeup.guarded(s);
    // The envelope at or below which the static law gives no reduction (the knee's foot).
    const double kneeFoot = p.threshold - std::max(p.knee, 0.0) / 2;
    p.quietEnvelope = kneeFoot > -240 ? std::pow(10.0, kneeFoot / 20) * (1 - 1e-9) : 0.0;
    p.compTarget = s.compressorEnabled ? 1.0 : 0.0;
    p.limiterOn = s.limiterEnabled;
    p.truePeakOn = s.limiterEnabled && s.truePeakEnabled;
    p.lavA = s.bleedChannelA;
    p.lavB = s.bleedChannelB;
}

StreamingDSP::~StreamingDSP() = default;

void StreamingDSP::designTargets() {
    targets_.clear();
    for (const EQBand& band : settings_.eqBands) {
        targets_.push_back(settings_.eqEnabled && band.enabled ? Biquad(band, rate_)
                                                               : Biquad::identity());
    }
}

void StreamingDSP::update(const ProcessingSettings& settings,
                          const std::vector<ChannelSettings>& channels) {
    bool sameFlags = channels.size() == size_t(count_);
    for (int c = 0; sameFlags && c < count_; ++c) {
        sameFlags = channels[size_t(c)].process == selected_[size_t(c)];
    }
    // Compare the dspOnly() forms without building them: the new settings with the old
    // restoration fields equal the old settings exactly when only those fields changed.
    scratch_ = settings;
    scratch_.isolation = settings_.isolation;
    scratch_.modelID = settings_.modelID;
    scratch_.reduction = settings_.reduction;
    scratch_.originalMix = settings_.originalMix;
    scratch_.sidonQuality = settings_.sidonQuality;
    if (sameFlags && scratch_ == settings_) return;

    settings_ = settings;
    bleed_.configure(settings_);
    leveler_.configure(settings_);
    derive();
    for (int c = 0; c < count_; ++c) {
        selected_[size_t(c)] = size_t(c) < channels.size() ? channels[size_t(c)].process : true;
    }

    const size_t previousBands = bandCount_;
    bandCount_ = settings_.eqBands.size();
    designTargets();
    if (bandCount_ != previousBands) {
        // A different band layout cannot glide: every section switches at once.
        filters_.clear();
        for (int c = 0; c < count_; ++c) {
            filters_.insert(filters_.end(), targets_.begin(), targets_.end());
        }
    }
    glide_.start(glideFrames(rate_));
    targetGain_ = std::pow(10.0, Setting::outputGain.guarded(settings_) / 20);
}

namespace {

/// The static law: `slope` = 1 − 1/ratio dB of reduction per dB over the threshold, with a
/// quadratic knee `knee` dB wide.
inline double staticLaw(double inputDB, double threshold, double slope, double knee) {
    const double over = inputDB - threshold;
    if (std::isnan(over)) return 0;
    if (knee > 0 && std::abs(over) < knee / 2) {
        return slope * (over + knee / 2) * (over + knee / 2) / (2 * knee);
    }
    return over > 0 ? slope * over : 0;
}

}  // namespace

inline double StreamingDSP::lawReduction(double inputDB) const {
    const Parameters& p = parameters_;
    return staticLaw(inputDB, p.threshold, p.slope, p.knee);
}

double StreamingDSP::reduction(double inputDB, double threshold, double ratio, double knee) {
    threshold = Setting::threshold.finiteOr(threshold);
    ratio = Setting::ratio.finiteOr(ratio);
    knee = Setting::knee.finiteOr(knee);
    return staticLaw(inputDB, threshold, 1 - 1 / std::max(ratio, 1.0), knee);
}

void StreamingDSP::process(AudioBuffer& block, const AudioBuffer* sidechain) {
    const long frames = long(block.frameLength());
    const int blockChannels = block.channelCount();
    if (frames == 0 || blockChannels == 0) return;
    const bool useSidechain = sidechain && sidechain->channelCount() > 0;
    const BlockIO io{block, useSidechain ? sidechain : nullptr, std::min(count_, blockChannels),
                     useSidechain ? std::min(count_, sidechain->channelCount()) : 0,
                     useSidechain ? long(sidechain->frameLength()) : 0};
    for (long base = 0; base < frames; base += kStageFrames) {
        const long staged = std::min(long(kStageFrames), frames - base);
        inputStage(io, base, staged);
        equaliserStage(staged);
        dynamicsStage(io, base, staged);
    }
    limiterReduction_ = parameters_.limiterOn ? -20 * std::log10(std::max(limitGain_, 1e-12)) : 0.0;
}

// Input, lav-bleed detection, leveler and the bleed gains.
void StreamingDSP::inputStage(const BlockIO& io, long base, long staged) {
    const std::span<const bool> selected{selected_.get(), size_t(count_)};
    const int lavA = parameters_.lavA;
    const int lavB = parameters_.lavB;
    // Non-finite samples never reach a filter state; channels missing from the block are silent.
    const size_t stride = size_t(count_);
    for (int c = 0; c < count_; ++c) {
        double* values = values_.data() + size_t(c);
        if (c < io.readable) {
            const float* in = io.block.channel(c) + base;
            for (long k = 0; k < staged; ++k) {
                const double x = in[k];
                values[size_t(k) * stride] = std::isfinite(x) ? x : 0.0;
            }
        } else {
            for (long k = 0; k < staged; ++k)
                values[size_t(k) * stride] = 0;
        }
    }
    // With the bleed suppressor and the leveler both off and at rest, their ticks change
    // nothing (and stay at rest): the stage only takes the input.
    if (!settings_.bleedEnabled && bleed_.gains()[0] == 0 && bleed_.gains()[1] == 0 &&
        leveler_.idle()) {
        return;
    }
    // The lav-bleed detector hears the unprocessed source when there is one.
    const bool pairInRange = lavA >= 0 && lavB >= 0 && lavA < count_ && lavB < count_;
    for (long k = 0; pairInRange && k < staged; ++k) {
        const long i = base + k;
        const double* const values = values_.data() + size_t(k) * stride;
        const bool side = io.sidechain && i < io.sideFrames;
        stageDetector_[size_t(k)] =
            side && lavA < io.sideChannels ? double(io.sidechain->channel(lavA)[i]) : values[lavA];
        stageDetector_[kStageFrames + size_t(k)] =
            side && lavB < io.sideChannels ? double(io.sidechain->channel(lavB)[i]) : values[lavB];
    }
    bleed_.tickFrames(stageDetector_.data(), stageDetector_.data() + kStageFrames, staged, count_,
                      selected, settings_, stageBleedDB_.data());
    vector_math::decibelGains(stageBleedDB_.data(), stageBleed_.data(), 2 * size_t(staged));
    // The leveler reads only the input and the bleed suppressor only its detector: the leveler
    // takes the staged frames together, then the bleed gains apply.
    leveler_.tickFrames(values_.data(), size_t(count_), staged, selected);
    if (!pairInRange) return;  // the gains stay at 1
    for (long k = 0; k < staged; ++k) {
        double* const values = values_.data() + size_t(k) * stride;
        values[lavA] *= stageBleed_[2 * size_t(k)];
        values[lavB] *= stageBleed_[2 * size_t(k) + 1];
    }
}

// One frame of the selected channels through their cascades (`sections`, channel-major,
// `stride` per channel), two channels at a time so that the independent chains overlap in the
// pipeline; returns the frame's peak over the selected channels.
double StreamingDSP::filterSelected(Biquad* sections, size_t stride, double* values) const {
    const bool* selected = selected_.get();
    inPairs(
        [&](int first, int second) {
            filterPair(sections + size_t(first) * stride, sections + size_t(second) * stride,
                       stride, values[first], values[second]);
        },
        [&](int alone) {
            Biquad* f = sections + size_t(alone) * stride;
            double v = values[alone];
            for (size_t j = 0; j < stride; ++j)
                v = f[j].process(v);
            values[alone] = v;
        });
    double peak = 0;
    for (int c = 0; c < count_; ++c) {
        if (selected[c]) peak = std::max(peak, std::abs(values[c]));
    }
    return peak;
}

// The EQ with its coefficient glide; the linked detector peak over the selected channels.
void StreamingDSP::equaliserStage(long staged) {
    if (!glide_.active()) {
        filterActive(staged);
        return;
    }
    const size_t bands = bandCount_;
    for (long k = 0; k < staged; ++k) {
        double* const values = values_.data() + size_t(k) * size_t(count_);
        const double step = glide_.step();
        stageStep_[size_t(k)] = step;

        // The glide moves every channel's sections; the selected channels are then filtered
        // two at a time so that their independent section cascades overlap in the pipeline.
        if (step > 0) {
            for (int c = 0; c < count_; ++c) {
                Biquad* f = filters_.data() + size_t(c) * bands;
                for (size_t j = 0; j < bands; ++j) {
                    const Biquad& t = targets_[j];
                    f[j].b0 += step * (t.b0 - f[j].b0);
                    f[j].b1 += step * (t.b1 - f[j].b1);
                    f[j].b2 += step * (t.b2 - f[j].b2);
                    f[j].a1 += step * (t.a1 - f[j].a1);
                    f[j].a2 += step * (t.a2 - f[j].a2);
                }
            }
        }
        stagePeak_[size_t(k)] = filterSelected(filters_.data(), bands, values);
    }
}

void StreamingDSP::filterActive(long staged) {
    const size_t bands = bandCount_;
    const bool* selected = selected_.get();
    // A section is left out when it returns its input for every selected channel: b0 = 1,
    // b1 = a1, b2 = a2 and zero state give y = x + 0 and keep the state at zero.
    activeBands_.clear();
    for (size_t j = 0; j < bands; ++j) {
        bool passes = true;
        for (int c = 0; passes && c < count_; ++c) {
            const Biquad& f = filters_[size_t(c) * bands + j];
            passes = !selected[c] ||
                     (f.b0 == 1 && f.b1 == f.a1 && f.b2 == f.a2 && f.z1 == 0 && f.z2 == 0);
        }
        if (!passes) activeBands_.push_back(j);
    }
    const size_t used = activeBands_.size();
    const size_t stride = size_t(count_);
    // More bands than the room kept at construction (never with the standard eight).
    if (lanes_.size() < used) lanes_.resize(used);
    if (active_.size() < used) active_.resize(used);
    if (used > 0) {
        // The selected channels two at a time, one in each lane of a register: each lane does
        // exactly the arithmetic of Biquad::process on its own channel. An odd channel left
        // over runs alone.
        inPairs([&](int first, int second) { filterLanes(first, second, staged); },
                [&](int alone) {
                    Biquad* f = active_.data();
                    for (size_t u = 0; u < used; ++u)
                        f[u] = filters_[size_t(alone) * bands + activeBands_[u]];
                    double* v = values_.data() + size_t(alone);
                    for (long k = 0; k < staged; ++k) {
                        double x = v[size_t(k) * stride];
                        for (size_t u = 0; u < used; ++u)
                            x = f[u].process(x);
                        v[size_t(k) * stride] = x;
                    }
                    for (size_t u = 0; u < used; ++u) {
                        Biquad& g = filters_[size_t(alone) * bands + activeBands_[u]];
                        g.z1 = f[u].z1;
                        g.z2 = f[u].z2;
                    }
                });
    }
    for (long k = 0; k < staged; ++k) {
        const double* values = values_.data() + size_t(k) * stride;
        double peak = 0;
        for (int c = 0; c < count_; ++c) {
            if (selected[c]) peak = std::max(peak, std::abs(values[c]));
        }
        stageStep_[size_t(k)] = 0;
        stagePeak_[size_t(k)] = peak;
    }
}

void StreamingDSP::filterLanes(int first, int second, long staged) {
    const size_t bands = bandCount_;
    const size_t used = activeBands_.size();
    const auto section = [&](int channel, size_t index) -> Biquad& {
        return filters_[size_t(channel) * bands + activeBands_[index]];
    };
    // The sections in order: with AVX-512 four at a time, both channels of each in one
    // register; then with AVX2 two at a time; then one at a time, a channel in each lane.
    size_t from = 0;
    const size_t wide = dsp_detail::withAvx512() ? std::min(used / 4, kMaxWideUnits) : 0;
    if (wide > 0) {
        for (size_t u = 0; u < wide; ++u) {
            WideSection& f = wide_[u];
            for (size_t j = 0; j < 4; ++j) {
                const Biquad& p = section(first, from + 4 * u + j);
                const Biquad& q = section(second, from + 4 * u + j);
                for (size_t l = 0; l < 2; ++l) {
                    const Biquad& b = l == 0 ? p : q;
                    f.b0[2 * j + l] = b.b0;
                    f.b1[2 * j + l] = b.b1;
                    f.b2[2 * j + l] = b.b2;
                    f.a1[2 * j + l] = b.a1;
                    f.a2[2 * j + l] = b.a2;
                    f.z1[2 * j + l] = b.z1;
                    f.z2[2 * j + l] = b.z2;
                }
            }
        }
        runWideWavefrontOf(wide, wide_.data(), values_.data(), size_t(count_), first, second,
                           staged, std::make_index_sequence<kMaxWideUnits>());
        for (size_t u = 0; u < wide; ++u) {
            const WideSection& f = wide_[u];
            for (size_t j = 0; j < 4; ++j) {
                Biquad& p = section(first, from + 4 * u + j);
                Biquad& q = section(second, from + 4 * u + j);
                p.z1 = f.z1[2 * j];
                p.z2 = f.z2[2 * j];
                q.z1 = f.z1[2 * j + 1];
                q.z2 = f.z2[2 * j + 1];
            }
        }
        from += 4 * wide;
    }
    const size_t units = dsp_detail::withAvx2() ? std::min((used - from) / 2, kMaxUnits) : 0;
    if (units > 0) {
        for (size_t u = 0; u < units; ++u) {
            const Biquad& p = section(first, from + 2 * u);
            const Biquad& q = section(second, from + 2 * u);
            const Biquad& r = section(first, from + 2 * u + 1);
            const Biquad& t = section(second, from + 2 * u + 1);
            UnitSection& f = units_[u];
            f.b0 = UnitSection::Quad{p.b0, q.b0, r.b0, t.b0};
            f.b1 = UnitSection::Quad{p.b1, q.b1, r.b1, t.b1};
            f.b2 = UnitSection::Quad{p.b2, q.b2, r.b2, t.b2};
            f.a1 = UnitSection::Quad{p.a1, q.a1, r.a1, t.a1};
            f.a2 = UnitSection::Quad{p.a2, q.a2, r.a2, t.a2};
            f.z1 = UnitSection::Quad{p.z1, q.z1, r.z1, t.z1};
            f.z2 = UnitSection::Quad{p.z2, q.z2, r.z2, t.z2};
        }
        runWavefrontOf(units, units_.data(), values_.data(), size_t(count_), first, second, staged,
                       std::make_index_sequence<kMaxUnits>());
        for (size_t u = 0; u < units; ++u) {
            const UnitSection& f = units_[u];
            Biquad& p = section(first, from + 2 * u);
            Biquad& q = section(second, from + 2 * u);
            Biquad& r = section(first, from + 2 * u + 1);
            Biquad& t = section(second, from + 2 * u + 1);
            p.z1 = f.z1[0];
            q.z1 = f.z1[1];
            r.z1 = f.z1[2];
            t.z1 = f.z1[3];
            p.z2 = f.z2[0];
            q.z2 = f.z2[1];
            r.z2 = f.z2[2];
            t.z2 = f.z2[3];
        }
        from += 2 * units;
    }
    if (from == used) return;
    const size_t count = used - from;
    BiquadPair* lanes = lanes_.data();
    for (size_t u = 0; u < count; ++u)
        lanes[u] = BiquadPair(section(first, from + u), section(second, from + u));
    const size_t stride = size_t(count_);
    double* values = values_.data();
    for (long k = 0; k < staged; ++k) {
        double* frame = values + size_t(k) * stride;
        BiquadPair::Lanes x = {frame[first], frame[second]};
        for (size_t u = 0; u < count; ++u)
            x = lanes[u].process(x);
        frame[first] = x[0];
        frame[second] = x[1];
    }
    for (size_t u = 0; u < count; ++u)
        lanes[u].storeState(section(first, from + u), section(second, from + u));
}

void StreamingDSP::compressStage(long staged) {
    const Parameters& p = parameters_;
    // Frame by frame: the output gain and the compressor amount follow their one-pole, and the
    // detector envelope its attack or release. Frames at rest under the knee's foot take ln 1,
    // which they never use: below the knee the reduction is 0 whatever the exact level.
    // The recursions run in locals: stores to the stage arrays would otherwise send each
    // frame's state through memory before the next frame reads it.
    double gain = gain_;
    double wet = compWet_;
    double envelope = envelope_;
    for (long k = 0; k < staged; ++k) {
        const auto f = size_t(k);
        smoothing_.follow(gain, targetGain_);
        smoothing_.follow(wet, p.compTarget);
        stageGain_[f] = gain;
        stageWet_[f] = wet;
        // Both of the envelope's steps are worked out and the right one kept, so that the
        // recursion waits on no branch.
        const double peak = stagePeak_[f];
        const double rising = envelope * p.attack + peak * (1 - p.attack);
        const double falling = envelope * p.release + peak * (1 - p.release);
        envelope = dsp_detail::chooseIfLess(envelope, peak, rising, falling);
        stageQuiet_[f] = envelope <= p.quietEnvelope;
        stageLevel_[f] = stageQuiet_[f] ? 1.0 : std::max(envelope, 1e-12);
    }
    gain_ = gain;
    compWet_ = wet;
    envelope_ = envelope;
    vector_math::log(stageLevel_.data(), stageLevel_.data(), size_t(staged));
    // The static law and the compression in dB; then its gains in one batch of exponentials.
    double R = 0;
    for (long k = 0; k < staged; ++k) {
        const auto f = size_t(k);
        R = stageQuiet_[f] ? 0.0 : lawReduction(2 * (stageLevel_[f] * dsp_detail::kPowerToDB));
        const double wet = stageWet_[f];
        stageDB_[f] = wet * p.makeup - wet * R;
    }
    if (staged > 0) compressorReduction_ = R * stageWet_[size_t(staged - 1)];
    vector_math::decibelGains(stageDB_.data(), stageLevel_.data(), size_t(staged));
    // The compression gain glides with the EQ; then the output gain joins it.
    double compression = compressionGain_;
    for (long k = 0; k < staged; ++k) {
        const auto f = size_t(k);
        const double N = stageLevel_[f];
        const double step = stageStep_[f];
        if (step > 0) {
            compression += step * (N - compression);
        } else {
            compression = N;
        }
        stageGain_[f] *= compression;
    }
    compressionGain_ = compression;
}

inline double StreamingDSP::limiterRequest(double g, double P) const {
    const Parameters& p = parameters_;
    if (!p.limiterOn) return 1;
    if (!p.truePeakOn) return std::min(p.ceiling / std::max(g, 1e-12), 1.0);
    return std::min(p.truePeakTarget / std::max(std::max(g, P), 1e-12), 1.0);
}

void StreamingDSP::detectStage(long staged) {
    std::fill_n(stageTruePeak_.begin(), staged, 0.0);
    const bool* selected = selected_.get();
    for (int c = 0; c < count_; ++c) {
        // Channels outside the selection feed silence, as they always have.
        if (selected[c]) {
            for (long k = 0; k < staged; ++k)
                peakSamples_[size_t(k)] = float(values_[size_t(k) * size_t(count_) + size_t(c)]);
        } else {
            std::fill_n(peakSamples_.begin(), staged, 0.0f);
        }
        peakDetector_.addFrames(c, peakSamples_.data(), uint32_t(staged), stageTruePeak_.data());
    }
}

namespace {

/// The limiter's moving state over a stage, held in locals (registers) rather than members,
/// so that no frame's state goes through memory on its way to the next frame.
struct LimiterRun {
    double gain;
    int hold;
    size_t head;
    size_t count;
    long frame;
    double* value;  ///< the sliding minimum's ring of requests …
    long* frameOf;  ///< … and the frame of each
    size_t wrap;    ///< the ring's capacity (a power of two) − 1
    long window;    ///< the lookahead plus the interpolator delay
    double release;

    /// Adds this frame's request and returns the smallest request of the window. A monotonic
    /// queue: values rise from front to back; ring indices wrap by masking.
    double pendingMinimum(double request) {
        while (count > 0) {
            const size_t back = (head + count - 1) & wrap;
            if (value[back] < request) break;
            --count;
        }
        const size_t slot = (head + count) & wrap;
        value[slot] = request;
        frameOf[slot] = frame;
        ++count;
        while (frameOf[head] <= frame - window) {
            head = (head + 1) & wrap;
            --count;
        }
        ++frame;
        return value[head];
    }

    /// Instant attack, hold for the lookahead plus the interpolator delay, release. The
    /// release never rises above a request still waiting in the lookahead: a frame that asked
    /// for slightly less reduction than the gain in force did not restart the hold, and
    /// releasing past it would let that frame out above the ceiling.
    void move(double request) {
        const double pending = pendingMinimum(request);
        if (request < gain) {
            gain = request;
            hold = int(window);
        } else if (hold > 0) {
            --hold;
        } else {
            gain = std::min(pending, std::min(request, release * gain + (1 - release)));
        }
    }
};

}  // namespace

// Compressor and output gain; the true-peak detector over the staged frames; the limiter, the
// lookahead delay and the output.
void StreamingDSP::dynamicsStage(const BlockIO& io, long base, long staged) {
    const bool* selected = selected_.get();
    compressStage(staged);
    for (long k = 0; k < staged; ++k) {
        double* const values = values_.data() + size_t(k) * size_t(count_);
        const double makeGain = stageGain_[size_t(k)];
        double g = 0;
        for (int c = 0; c < count_; ++c) {
            if (!selected[c]) continue;
            values[c] *= makeGain;
            g = std::max(g, std::abs(values[c]));
        }
        stageLargest_[size_t(k)] = g;
    }
    if (parameters_.truePeakOn) detectStage(staged);

    LimiterRun run{limitGain_,
                   hold_,
                   minHead_,
                   minCount_,
                   frameIndex_,
                   minValue_.data(),
                   minFrame_.data(),
                   minValue_.size() - 1,
                   long(latency_) + kInterpolatorDelay,
                   parameters_.limiterRelease};
    for (long k = 0; k < staged; ++k) {
        run.move(limiterRequest(stageLargest_[size_t(k)], stageTruePeak_[size_t(k)]));
        stageLimit_[size_t(k)] = run.gain;
    }
    limitGain_ = run.gain;
    hold_ = run.hold;
    minHead_ = run.head;
    minCount_ = run.count;
    frameIndex_ = run.frame;
    // Lookahead delay, limiter gain and the safety clip at the ceiling itself, a channel at a
    // time.
    const bool limiterOn = parameters_.limiterOn;
    const double T = parameters_.ceiling;
    const size_t stride = size_t(count_);
    const int start = position_;
    for (int c = 0; c < count_; ++c) {
        double* const ring = ring_.data() + size_t(c) * size_t(latency_);
        const double* const values = values_.data() + size_t(c);
        float* const out = c < io.readable ? io.block.channel(c) + base : nullptr;
        const bool isSelected = selected[c];
        // The ring wraps at most once in a stage: the frames before the wrap, then after it.
        const long beforeWrap = std::min(staged, long(latency_ - start));
        const auto delay = [&](long from, long to, long shift) {
            for (long k = from; k < to; ++k) {
                double& slot = ring[k + shift];
                double y = slot;
                slot = values[size_t(k) * stride];
                if (isSelected) {
                    y *= stageLimit_[size_t(k)];
                    if (limiterOn) y = std::clamp(y, -T, T);
                }
                if (out) out[k] = std::isfinite(y) ? float(y) : 0.0f;
            }
        };
        delay(0, beforeWrap, start);
        delay(beforeWrap, staged, -beforeWrap);
    }
    position_ = int((start + staged) % latency_);
}

}  // namespace corvaline
