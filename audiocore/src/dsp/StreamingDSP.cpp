#include "audiocore/dsp/StreamingDSP.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/cv_peak.h"

namespace corvaline {

using dsp_detail::guarded;
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

}  // namespace

StreamingDSP::StreamingDSP(double rate, const std::vector<ChannelSettings>& channels,
                           const ProcessingSettings& settings)
    : latency_(std::max(1, int(std::floor(checkedRate(rate) * 0.005)))),
      rate_(rate),
      count_(int(channels.size())),
      settings_(settings),
      scratch_(settings),
      selected_(new bool[std::max<size_t>(channels.size(), 1)]()),
      ring_(channels.size() * size_t(latency_), 0.0),
      values_(channels.size() * size_t(kStageFrames), 0.0),
      detector_(channels.size(), 0.0),
      leveler_(rate, int(channels.size())),
      bleed_(rate),
      peakSamples_(std::max<size_t>(channels.size(), 1), 0.0f),
      minValue_(size_t(latency_ + kInterpolatorDelay + 1), 1.0),
      minFrame_(size_t(latency_ + kInterpolatorDelay + 1), 0) {
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
    const double outputDB = std::isfinite(settings_.outputGain) ? settings_.outputGain : 0.0;
    gain_ = targetGain_ = std::pow(10.0, outputDB / 20);
    bleed_.configure(settings_);
    peakDetector_ = cv_peak_create(std::max(1, count_));
}

StreamingDSP::~StreamingDSP() {
    cv_peak_destroy(peakDetector_);
}

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
    ramp_ = std::max(1L, long(std::floor(rate_ * 0.01)));
    targetGain_ = std::pow(10.0, guarded(settings_.outputGain, -60, 24, 0) / 20);
}

double StreamingDSP::pendingMinimum(double request) {
    // Monotonic queue over the last latency + 13 requests: values rise from front to back.
    const long window = latency_ + kInterpolatorDelay;
    const size_t capacity = minValue_.size();
    // Ring indices wrap by comparison: minHead_ and minCount_ stay below the capacity.
    while (minCount_ > 0) {
        size_t back = minHead_ + minCount_ - 1;
        if (back >= capacity) back -= capacity;
        if (minValue_[back] < request) break;
        --minCount_;
    }
    size_t slot = minHead_ + minCount_;
    if (slot >= capacity) slot -= capacity;
    minValue_[slot] = request;
    minFrame_[slot] = frameIndex_;
    ++minCount_;
    while (minFrame_[minHead_] <= frameIndex_ - window) {
        if (++minHead_ == capacity) minHead_ = 0;
        --minCount_;
    }
    ++frameIndex_;
    return minValue_[minHead_];
}

double StreamingDSP::reduction(double inputDB, double threshold, double ratio, double knee) {
    if (!std::isfinite(threshold)) threshold = -18;
    if (!std::isfinite(ratio)) ratio = 3;
    if (!std::isfinite(knee)) knee = 0;
    const double over = inputDB - threshold;
    if (std::isnan(over)) return 0;
    const double slope = 1 - 1 / std::max(ratio, 1.0);
    if (knee > 0 && std::abs(over) < knee / 2) {
        return slope * (over + knee / 2) * (over + knee / 2) / (2 * knee);
    }
    return over > 0 ? slope * over : 0;
}

void StreamingDSP::process(AudioBuffer& block, const AudioBuffer* sidechain) {
    const long frames = long(block.frameLength());
    const int blockChannels = block.channelCount();
    if (frames == 0 || blockChannels == 0) return;

    const ProcessingSettings& s = settings_;
    // Per-block coefficients. Non-finite times fall back to the inspector defaults.
    const double attackCoefficient =
        onePole(rate_, std::max(guarded(s.attack, 0.1, 1e9, 10), 0.1) / 1000);
    const double releaseCoefficient =
        onePole(rate_, std::max(guarded(s.release, 1, 1e9, 120), 1.0) / 1000);
    const double limiterCoefficient =
        onePole(rate_, std::max(guarded(s.limiterRelease, 1, 1e9, 50), 1.0) / 1000);
    const double ceiling = guarded(s.ceiling, -90, 0, -1);
    const double T = std::pow(10.0, ceiling / 20);
    const double truePeakTarget = T * kTruePeakMargin;
    const double smoothing = onePole(rate_, 0.01);

    const double threshold = std::isfinite(s.threshold) ? s.threshold : -18.0;
    const double ratio = std::isfinite(s.ratio) ? s.ratio : 3.0;
    const double knee = std::isfinite(s.knee) ? s.knee : 0.0;
    const double makeup = std::isfinite(s.makeup) ? s.makeup : 0.0;
    // The envelope at or below which the static law gives no reduction (the knee's foot).
    const double kneeFoot = threshold - std::max(knee, 0.0) / 2;
    const double quietEnvelope = kneeFoot > -240 ? std::pow(10.0, kneeFoot / 20) * (1 - 1e-9) : 0.0;
    const double compTarget = s.compressorEnabled ? 1.0 : 0.0;
    const bool limiterOn = s.limiterEnabled;
    const bool truePeakOn = limiterOn && s.truePeakEnabled;
    const int lavA = s.bleedChannelA;
    const int lavB = s.bleedChannelB;

    const int readable = std::min(count_, blockChannels);
    const bool useSidechain = sidechain && sidechain->channelCount() > 0;
    const int sideChannels = useSidechain ? std::min(count_, sidechain->channelCount()) : 0;
    const long sideFrames = useSidechain ? long(sidechain->frameLength()) : 0;
    const size_t bands = bandCount_;
    const std::span<const bool> selected{selected_.get(), size_t(count_)};

    for (long base = 0; base < frames; base += kStageFrames) {
        const long staged = std::min(long(kStageFrames), frames - base);
        for (long k = 0; k < staged; ++k) {
            const long i = base + k;
            double* const values = values_.data() + size_t(k) * size_t(count_);
            // Input; non-finite samples never reach a filter state.
            for (int c = 0; c < readable; ++c) {
                const double x = block.channel(c)[i];
                values[c] = std::isfinite(x) ? x : 0.0;
            }
            for (int c = readable; c < count_; ++c) {
                values[c] = 0;
            }

            // The lav-bleed detector hears the unprocessed source when there is one.
            for (int c = 0; c < count_; ++c)
                detector_[size_t(c)] = values[c];
            if (useSidechain && i < sideFrames) {
                for (int c = 0; c < sideChannels; ++c)
                    detector_[size_t(c)] = sidechain->channel(c)[i];
            }
            const std::array<double, 2> bleedGains = bleed_.tick(detector_, selected, s);

            // Leveler, then the bleed gains.
            leveler_.tick({values, size_t(count_)}, selected, s);
            if (lavA >= 0 && lavA < count_) values[lavA] *= bleedGains[0];
            if (lavB >= 0 && lavB < count_) values[lavB] *= bleedGains[1];
        }

        for (long k = 0; k < staged; ++k) {
            double* const values = values_.data() + size_t(k) * size_t(count_);
            // Coefficient and compression-gain glide.
            double step = 0;
            if (ramp_ >= 1) {
                step = 1.0 / double(ramp_);
                --ramp_;
            }
            stageStep_[size_t(k)] = step;

            // EQ; linked detector peak over the selected channels. The glide moves every
            // channel's sections; the selected channels are then filtered two at a time so that
            // their independent section cascades overlap in the pipeline.
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
            int waiting = -1;
            for (int c = 0; c < count_; ++c) {
                if (!selected[size_t(c)]) continue;
                if (waiting < 0) {
                    waiting = c;
                    continue;
                }
                filterPair(filters_.data() + size_t(waiting) * bands,
                           filters_.data() + size_t(c) * bands, bands, values[waiting], values[c]);
                waiting = -1;
            }
            if (waiting >= 0) {
                Biquad* f = filters_.data() + size_t(waiting) * bands;
                double v = values[waiting];
                for (size_t j = 0; j < bands; ++j)
                    v = f[j].process(v);
                values[waiting] = v;
            }
            double peak = 0;
            for (int c = 0; c < count_; ++c) {
                if (selected[size_t(c)]) peak = std::max(peak, std::abs(values[c]));
            }
            stagePeak_[size_t(k)] = peak;
        }

        for (long k = 0; k < staged; ++k) {
            const long i = base + k;
            double* const values = values_.data() + size_t(k) * size_t(count_);
            const double step = stageStep_[size_t(k)];
            const double peak = stagePeak_[size_t(k)];
            // Output gain and compressor amount follow a 10 ms one-pole.
            gain_ = smoothing * gain_ + (1 - smoothing) * targetGain_;
            compWet_ = smoothing * compWet_ + (1 - smoothing) * compTarget;

            // Compressor.
            const double alpha = envelope_ < peak ? attackCoefficient : releaseCoefficient;
            envelope_ = envelope_ * alpha + peak * (1 - alpha);
            // Below the knee the reduction is 0 whatever the exact level: skip the logarithm.
            const double R = envelope_ <= quietEnvelope
                                 ? 0.0
                                 : reduction(2 * dsp_detail::powerToDB(std::max(envelope_, 1e-12)),
                                             threshold, ratio, knee);
            compressorReduction_ = R * compWet_;
            const double compDB = compWet_ * makeup - compWet_ * R;
            const double N = compDB == 0 ? 1.0 : dsp_detail::dbToGain(compDB);
            if (step > 0) {
                compressionGain_ += step * (N - compressionGain_);
            } else {
                compressionGain_ = N;
            }

            // Output gain.
            const double makeGain = compressionGain_ * gain_;
            double g = 0;
            for (int c = 0; c < count_; ++c) {
                if (!selected[size_t(c)]) continue;
                values[c] *= makeGain;
                g = std::max(g, std::abs(values[c]));
            }

            // Limiter request.
            double request = 1;
            if (limiterOn) {
                if (!truePeakOn) {
                    request = std::min(T / std::max(g, 1e-12), 1.0);
                } else if (peakDetector_) {
                    for (int c = 0; c < count_; ++c) {
                        peakSamples_[size_t(c)] = selected[size_t(c)] ? float(values[c]) : 0.0f;
                    }
                    const double P = cv_peak_tick(peakDetector_, peakSamples_.data());
                    request = std::min(truePeakTarget / std::max(std::max(g, P), 1e-12), 1.0);
                } else {
                    request = std::min(truePeakTarget / std::max(g, 1e-12), 1.0);
                }
            }

            // Instant attack, hold for the lookahead plus the interpolator delay, release. The
            // release never rises above a request still waiting in the lookahead: a frame that
            // asked for slightly less reduction than the gain in force did not restart the hold,
            // and releasing past it would let that frame out above the ceiling.
            const double pending = pendingMinimum(request);
            if (request < limitGain_) {
                limitGain_ = request;
                hold_ = latency_ + kInterpolatorDelay;
            } else if (hold_ > 0) {
                --hold_;
            } else {
                limitGain_ = std::min(pending, std::min(request, limiterCoefficient * limitGain_ +
                                                                     (1 - limiterCoefficient)));
            }

            // Lookahead delay, limiter gain and the safety clip at the ceiling itself.
            const size_t pos = size_t(position_);
            for (int c = 0; c < count_; ++c) {
                double* ring = ring_.data() + size_t(c) * size_t(latency_);
                double y = ring[pos];
                ring[pos] = values[c];
                if (selected[size_t(c)]) {
                    y *= limitGain_;
                    if (limiterOn) y = std::clamp(y, -T, T);
                }
                if (c < readable) block.channel(c)[i] = std::isfinite(y) ? float(y) : 0.0f;
            }
            // Advance the delay lines.
            if (++position_ == latency_) position_ = 0;
        }
    }
    limiterReduction_ = limiterOn ? -20 * std::log10(std::max(limitGain_, 1e-12)) : 0.0;
}

}  // namespace corvaline
