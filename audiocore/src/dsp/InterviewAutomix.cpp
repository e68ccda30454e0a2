#include "audiocore/dsp/InterviewAutomix.hpp"

#include <algorithm>
#include <cmath>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/model/SettingsFields.hpp"

namespace corvaline {

InterviewAutomix::InterviewAutomix(double rate)
    : rate_(rate),
      detectors_{SpeechBandDetector(rate), SpeechBandDetector(rate)},
      interval_(std::max(1L, long(std::floor(rate * 0.005)))) {}

void InterviewAutomix::reset() {
    detectors_ = {SpeechBandDetector(rate_), SpeechBandDetector(rate_)};
    hold_ = {0, 0};
    elapsed_ = 0;
    targets_ = {0, 0};
}

void InterviewAutomix::configure(const ProcessingSettings& settings) {
    trim_ = {std::pow(10.0, Setting::bleedTrimA.guarded(settings) / 10),
             std::pow(10.0, Setting::bleedTrimB.guarded(settings) / 10)};
    floor_ = Setting::bleedFloor.guarded(settings);
    difference_ = Setting::bleedDifference.guarded(settings);
    depth_ = Setting::bleedDepth.guarded(settings);
    holdFrames_ = long(std::floor(rate_ * Setting::bleedHold.guarded(settings) / 1000));
}

std::array<double, 2> InterviewAutomix::tick(double a, double b) {
    std::array<double, 2> targets;
    tickFrames(&a, &b, 1, targets.data());
    return targets;
}

void InterviewAutomix::decide(double eA, double eB) {
    targets_ = {0, 0};
    const double levelA = 10 * std::log10(std::max(eA * trim_[0], 1e-15));
    const double levelB = 10 * std::log10(std::max(eB * trim_[1], 1e-15));
    if (std::max(levelA, levelB) <= floor_) return;

    const double d = levelA - levelB;
    if (d >= difference_) hold_[0] = holdFrames_;
    if (d <= -difference_) hold_[1] = holdFrames_;

    // Soft knee: 0 dB at the threshold, 8 dB at 6 dB of excess, bounded by the depth.
    const double excess = std::max(std::abs(d) - difference_, 0.0);
    const double attenuation = std::min(2 * excess * excess / (excess + 3), depth_);
    if (d > 0 && hold_[1] == 0) targets_[1] = -attenuation;
    if (d < 0 && hold_[0] == 0) targets_[0] = -attenuation;
}

void InterviewAutomix::tickFrames(const double* a, const double* b, long frames, double* targets) {
    // Both detectors side by side, A in lane 0 and B in lane 1, their states in registers for
    // the run: each lane does the arithmetic of SpeechBandDetector::tick.
    typedef BiquadPair::Lanes Pair;
    SpeechBandDetector& dA = detectors_[0];
    SpeechBandDetector& dB = detectors_[1];
    BiquadPair high(dA.highPass, dB.highPass);
    BiquadPair low(dA.lowPass, dB.lowPass);
    const Pair coefficient = {dA.coefficient, dB.coefficient};
    const Pair one = {1, 1};
    Pair energy = {dA.energy, dB.energy};
    for (long k = 0; k < frames; ++k) {
        // A sample that is not finite counts as 0.
        const Pair y = low.process(high.process(dsp_detail::finiteOrZero(Pair{a[k], b[k]})));
        energy = coefficient * energy + (one - coefficient) * y * y;
        for (long& held : hold_)
            held = std::max(held - 1, 0L);
        // A decision every 5 ms; the targets stand in between.
        if (++elapsed_ >= interval_) {
            elapsed_ = 0;
            decide(energy[0], energy[1]);
        }
        targets[2 * k] = targets_[0];
        targets[2 * k + 1] = targets_[1];
    }
    high.storeState(dA.highPass, dB.highPass);
    low.storeState(dA.lowPass, dB.lowPass);
    dA.energy = energy[0];
    dB.energy = energy[1];
}

}  // namespace corvaline
