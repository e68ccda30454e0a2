#include "audiocore/dsp/LavBleedSuppressor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/Vectors.hpp"
#include "audiocore/model/SettingsFields.hpp"

namespace corvaline {

using dsp_detail::finiteOrZero;
using dsp_detail::onePole;

namespace {

double linear(double dB) {
    return dB == 0 ? 1.0 : dsp_detail::dbToGain(dB);
}

int decimationFor(double rate) {
    return std::max(1, int(std::floor(rate / 4000)));
}

typedef double Doubles4 __attribute__((vector_size(32)));
typedef double Doubles8 __attribute__((vector_size(64)));

/// The correlation sums of kRegisters × `Lanes` consecutive lags from `lag`, one lag to a lane:
/// each lane adds its products in window order, as the scalar search does. Every sum is its
/// own dependency chain, so the more lags in flight, the less the window's additions wait on
/// each other.
template <typename Lanes, int kRegisters>
__attribute__((always_inline)) inline void lagSums(const double* a, const double* b, int first,
                                                   int last, int lag, double* pq, double* qq) {
    typedef double Unaligned __attribute__((vector_size(sizeof(Lanes)), aligned(8), may_alias));
    constexpr int kWidth = int(sizeof(Lanes) / sizeof(double));
    Lanes pqs[kRegisters];
    Lanes qqs[kRegisters];
    for (int r = 0; r < kRegisters; ++r)
        pqs[r] = qqs[r] = Lanes{};
    for (int w = first; w <= last; ++w) {
        const Lanes p = Lanes{} + a[w];
#pragma GCC unroll 4
        for (int r = 0; r < kRegisters; ++r) {
            const Lanes q = *reinterpret_cast<const Unaligned*>(b + w + lag + kWidth * r);
            pqs[r] += p * q;
            qqs[r] += q * q;
        }
    }
    for (int r = 0; r < kRegisters; ++r) {
        for (int l = 0; l < kWidth; ++l) {
            pq[kWidth * r + l] = pqs[r][l];
            qq[kWidth * r + l] = qqs[r][l];
        }
    }
}

/// Sixteen lags, four to an AVX2 register.
__attribute__((target("avx2"))) void sixteenLags(const double* a, const double* b, int first,
                                                 int last, int lag, double* pq, double* qq) {
    lagSums<Doubles4, 4>(a, b, first, last, lag, pq, qq);
}

/// Thirty-two lags, eight to an AVX-512 register.
__attribute__((target("avx512f"))) void thirtyTwoLags(const double* a, const double* b, int first,
                                                      int last, int lag, double* pq, double* qq) {
    lagSums<Doubles8, 4>(a, b, first, last, lag, pq, qq);
}

/// The best normalised correlation |Σ a·b| / √(Σa² Σb²) over lags −maxLag…maxLag, with the
/// window `first`…`last` of `a` (whose energy is `pp`) against `b` shifted by the lag. The lags
/// are searched several at a time, each with its own sums in window order, so that their
/// dependency chains overlap.
double bestCorrelation(const double* a, const double* b, int first, int last, int maxLag,
                       double pp) {
    double best = 0;
    int lag = -maxLag;
    const auto take = [&](const double* pq, const double* qq, int lags) {
        for (int l = 0; l < lags; ++l)
            best = std::max(best, std::abs(pq[l]) / std::sqrt(std::max(pp * qq[l], 1e-24)));
    };
    double pq[32];
    double qq[32];
    if (dsp_detail::withAvx512()) {
        for (; lag + 31 <= maxLag; lag += 32) {
            thirtyTwoLags(a, b, first, last, lag, pq, qq);
            take(pq, qq, 32);
        }
    }
    if (dsp_detail::withAvx2()) {
        for (; lag + 15 <= maxLag; lag += 16) {
            sixteenLags(a, b, first, last, lag, pq, qq);
            take(pq, qq, 16);
        }
    }
    constexpr int kLanes = 4;
    for (; lag <= maxLag; lag += kLanes) {
        const int lanes = std::min(kLanes, maxLag - lag + 1);
        double pq[kLanes] = {0, 0, 0, 0};
        double qq[kLanes] = {0, 0, 0, 0};
        if (lanes == kLanes) {
            // Named accumulators so that they stay in registers.
            double pq0 = 0, pq1 = 0, pq2 = 0, pq3 = 0;
            double qq0 = 0, qq1 = 0, qq2 = 0, qq3 = 0;
            for (int w = first; w <= last; ++w) {
                const double p = a[w];
                // w + lag stays inside the window; the modulo of the circular form never wraps.
                const double* q = b + (w + lag);
                pq0 += p * q[0];
                pq1 += p * q[1];
                pq2 += p * q[2];
                pq3 += p * q[3];
                qq0 += q[0] * q[0];
                qq1 += q[1] * q[1];
                qq2 += q[2] * q[2];
                qq3 += q[3] * q[3];
            }
            pq[0] = pq0;
            pq[1] = pq1;
            pq[2] = pq2;
            pq[3] = pq3;
            qq[0] = qq0;
            qq[1] = qq1;
            qq[2] = qq2;
            qq[3] = qq3;
        } else {
            for (int w = first; w <= last; ++w) {
                const double p = a[w];
                const double* q = b + (w + lag);
                for (int l = 0; l < lanes; ++l) {
                    pq[l] += p * q[l];
                    qq[l] += q[l] * q[l];
                }
            }
        }
        for (int l = 0; l < lanes; ++l)
            best = std::max(best, std::abs(pq[l]) / std::sqrt(std::max(pp * qq[l], 1e-24)));
    }
    return best;
}

}  // namespace

LavBleedSuppressor::LavBleedSuppressor(double rate)
    : rate_(rate),
      decimation_(decimationFor(rate)),
      size_(std::max(32, int(std::floor(rate / decimation_ * 0.1)))),
      lag_(std::max(1, int(std::floor(rate / decimation_ * 0.02)))),
      a_(size_t(size_), 0.0),
      b_(size_t(size_), 0.0),
      interview_(rate),
      correlationLowPass_{Biquad(EQKind::lowPass, rate, 1600, 0, 0.70710678),
                          Biquad(EQKind::lowPass, rate, 1600, 0, 0.70710678)},
      lineA_(size_t(size_), 0.0),
      lineB_(size_t(size_), 0.0) {}

void LavBleedSuppressor::configure(const ProcessingSettings& settings) {
    const std::array<int, 2> pair{settings.bleedChannelA, settings.bleedChannelB};
    if (pair != pair_ || settings.bleedMode != mode_) {
        interview_.reset();
        std::fill(a_.begin(), a_.end(), 0.0);
        std::fill(b_.begin(), b_.end(), 0.0);
        position_ = filled_ = tickCount_ = analysisCount_ = 0;
        target_ = {0, 0};
        // A new pair starts open; a mode change alone glides to the new mode's targets.
        if (pair != pair_) {
            gains_ = {0, 0};
            reduction_ = {0, 0};
        }
        pair_ = pair;
        mode_ = settings.bleedMode;
    }
    interview_.configure(settings);
}

std::array<double, 2> LavBleedSuppressor::tick(std::span<const double> frame,
                                               std::span<const bool> selected,
                                               const ProcessingSettings& settings) {
    const std::array<double, 2> dB = tickDB(frame, selected, settings);
    return {linear(dB[0]), linear(dB[1])};
}

LavBleedSuppressor::Step LavBleedSuppressor::prepare(long channels, std::span<const bool> selected,
                                                     const ProcessingSettings& settings) {
    const int chA = settings.bleedChannelA;
    const int chB = settings.bleedChannelB;
    channels = std::min(channels, long(selected.size()));
    const bool usable = chA != chB && chA >= 0 && chB >= 0 && chA < channels && chB < channels &&
                        selected[size_t(chA)] && selected[size_t(chB)];
    if (!usable) {
        if (gains_[0] != 0 || gains_[1] != 0) target_ = gains_ = reduction_ = {0, 0};
        return Step::open;
    }
    // Used on its own (not through a processor), the first tick adopts the settings.
    if (pair_[0] != chA || pair_[1] != chB || mode_ != settings.bleedMode) configure(settings);

    if (!settings.bleedEnabled) {
        if (releaseRate_ != rate_) {
            releaseRate_ = rate_;
            disableCoefficient_ = onePole(rate_, 0.01);
        }
        return Step::release;
    }
    const double release = Setting::bleedRelease.guarded(settings) / 1000;
    if (release != cachedRelease_) {
        cachedRelease_ = release;
        releaseCoefficient_ = onePole(rate_, release);
        attackCoefficient_ = onePole(rate_, 0.012);
        overlapCoefficient_ = onePole(rate_, 0.05);
        reopenCoefficient_ = onePole(rate_, 0.004);
    }
    return Step::run;
}

void LavBleedSuppressor::releaseStep() {
    // Switched off: the gains fall back to 0 dB and then stay there.
    if (gains_[0] == 0 && gains_[1] == 0) return;
    for (size_t k = 0; k < 2; ++k) {
        gains_[k] *= disableCoefficient_;
        if (std::abs(gains_[k]) < 1e-8) gains_[k] = 0;
        reduction_[k] = -gains_[k];
    }
}

void LavBleedSuppressor::store(double x, double y, const ProcessingSettings& settings) {
    // The trims as amplitude ratios, recomputed only when a trim setting changes.
    if (settings.bleedTrimA != cachedTrim_[0] || settings.bleedTrimB != cachedTrim_[1]) {
        cachedTrim_ = {settings.bleedTrimA, settings.bleedTrimB};
        trimGain_ = {std::pow(10.0, Setting::bleedTrimA.guarded(settings) / 20),
                     std::pow(10.0, Setting::bleedTrimB.guarded(settings) / 20)};
    }
    a_[size_t(position_)] = x * trimGain_[0];
    b_[size_t(position_)] = y * trimGain_[1];
    position_ = (position_ + 1) % size_;
    filled_ = std::min(filled_ + 1, size_);
    ++analysisCount_;
    // Every 25 ms on the last 100 ms, once the window is full.
    if (filled_ == size_ && analysisCount_ >= size_ / 4) {
        analysisCount_ = 0;
        analyse(settings);
    }
}

void LavBleedSuppressor::runFrames(const double* a, const double* b, long frames,
                                   const ProcessingSettings& settings, double* dB) {
    // The lowpass states, the decimation count and the gains run in locals and are written
    // back once: as members, each frame's state would go through memory on its way to the next.
    if (settings.bleedMode != LavBleedMode::correlated) {
        // The automix's targets for the run go first into dB, which the gains then replace.
        interview_.tickFrames(a, b, frames, dB);
        if (frames > 0) target_ = {dB[2 * (frames - 1)], dB[2 * (frames - 1) + 1]};
        typedef BiquadPair::Lanes Pair;
        const Pair release = {releaseCoefficient_, releaseCoefficient_};
        const Pair reopen = {reopenCoefficient_, reopenCoefficient_};
        const Pair one = {1, 1};
        Pair gain = {gains_[0], gains_[1]};
        for (long k = 0; k < frames; ++k) {
            Pair target;
            std::memcpy(&target, dB + 2 * k, sizeof target);
            const Pair c = target < gain ? release : reopen;
            gain = c * gain + (one - c) * target;
            std::memcpy(dB + 2 * k, &gain, sizeof gain);
        }
        gains_ = {gain[0], gain[1]};
        reduction_ = {-gain[0], -gain[1]};
        return;
    }
    // Correlated: A in lane 0 and B in lane 1 of each register, every lane doing the arithmetic
    // of Biquad::process and of the gains' one-pole; the choices are per lane.
    typedef BiquadPair::Lanes Pair;
    BiquadPair low(correlationLowPass_[0], correlationLowPass_[1]);
    const Pair one = {1, 1};
    const Pair attack = {attackCoefficient_, attackCoefficient_};
    // The targets change only with an analysis.
    Pair target = {target_[0], target_[1]};
    double rest = overlappingSpeech_ ? overlapCoefficient_ : releaseCoefficient_;
    Pair gain = {gains_[0], gains_[1]};
    int tickCount = tickCount_;
    for (long k = 0; k < frames; ++k) {
        const Pair y = low.process(finiteOrZero(Pair{a[k], b[k]}));
        if (++tickCount >= decimation_) {
            tickCount = 0;
            store(y[0], y[1], settings);
            target = Pair{target_[0], target_[1]};
            rest = overlappingSpeech_ ? overlapCoefficient_ : releaseCoefficient_;
        }
        const Pair c = target < gain ? attack : Pair{rest, rest};
        gain = c * gain + (one - c) * target;
        std::memcpy(dB + 2 * k, &gain, sizeof gain);
    }
    low.storeState(correlationLowPass_[0], correlationLowPass_[1]);
    tickCount_ = tickCount;
    gains_ = {gain[0], gain[1]};
    reduction_ = {-gain[0], -gain[1]};
}

std::array<double, 2> LavBleedSuppressor::tickDB(std::span<const double> frame,
                                                 std::span<const bool> selected,
                                                 const ProcessingSettings& settings) {
    const long channels = long(frame.size());
    const int chA = settings.bleedChannelA;
    const int chB = settings.bleedChannelB;
    // An unusable pair never reads the samples.
    const double a = chA >= 0 && chA < channels ? frame[size_t(chA)] : 0.0;
    const double b = chB >= 0 && chB < channels ? frame[size_t(chB)] : 0.0;
    std::array<double, 2> dB;
    tickFrames(&a, &b, 1, channels, selected, settings, dB.data());
    return dB;
}

void LavBleedSuppressor::tickFrames(const double* a, const double* b, long frames, long channels,
                                    std::span<const bool> selected,
                                    const ProcessingSettings& settings, double* dB) {
    switch (prepare(channels, selected, settings)) {
        case Step::open:
            std::fill_n(dB, 2 * size_t(std::max(frames, 0L)), 0.0);
            return;
        case Step::release:
            for (long k = 0; k < frames; ++k) {
                releaseStep();
                dB[2 * k] = gains_[0];
                dB[2 * k + 1] = gains_[1];
            }
            return;
        case Step::run:
            runFrames(a, b, frames, settings, dB);
            return;
    }
}

void LavBleedSuppressor::analyse(const ProcessingSettings& settings) {
    const size_t n = size_t(size_);
    double sumA = 0, sumB = 0;
    for (size_t i = 0; i < n; ++i) {
        sumA += a_[i] * a_[i];
        sumB += b_[i] * b_[i];
    }
    const double levelA = 10 * std::log10(std::max(sumA / size_, 1e-15));
    const double levelB = 10 * std::log10(std::max(sumB / size_, 1e-15));

    target_ = {0, 0};
    similarity_ = 0;
    overlappingSpeech_ = false;
    if (std::max(levelA, levelB) <= Setting::bleedFloor.guarded(settings)) return;

    overlappingSpeech_ = true;
    const double d = std::abs(levelA - levelB);
    const double difference = Setting::bleedDifference.guarded(settings);
    if (d <= difference) return;

    // Unroll both windows into time order (oldest first) so the lag search reads linearly.
    for (size_t w = 0; w < n; ++w) {
        const size_t i = (size_t(position_) + w) % n;
        lineA_[w] = a_[i];
        lineB_[w] = b_[i];
    }
    // The energy of A's span is the same for every lag.
    const int first = lag_;
    const int last = size_ - lag_ - 1;
    double pp = 0;
    for (int w = first; w <= last; ++w) {
        const double p = lineA_[size_t(w)];
        pp += p * p;
    }
    similarity_ = bestCorrelation(lineA_.data(), lineB_.data(), first, last, lag_, pp);
    if (similarity_ <= 0.65) return;

    overlappingSpeech_ = false;
    const double depth = Setting::bleedDepth.guarded(settings);
    const double attenuation =
        std::min(3 * (d - difference), depth) * std::min((similarity_ - 0.65) / 0.2, 1.0);
    if (levelA < levelB) {
        target_[0] = -attenuation;
    } else {
        target_[1] = -attenuation;
    }
}

}  // namespace corvaline
