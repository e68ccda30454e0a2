#pragma once
// Short-term 150 Hz – 3.2 kHz energy of one microphone, for the interview automix.

#include <cmath>

#include "audiocore/dsp/Biquad.hpp"

namespace corvaline {

struct SpeechBandDetector {
    Biquad highPass;         ///< Butterworth high-pass at 150 Hz
    Biquad lowPass;          ///< Butterworth low-pass at min(0.4 × rate, 3200) Hz
    double coefficient = 0;  ///< one-pole energy smoothing, 15 ms
    double energy = 0;       ///< smoothed band power (linear)

    SpeechBandDetector() = default;
    explicit SpeechBandDetector(double rate);

    /// Feeds one sample (non-finite counts as 0) and returns the updated band energy.
    double tick(double x) {
        if (!std::isfinite(x)) x = 0;
        const double y = lowPass.process(highPass.process(x));
        energy = coefficient * energy + (1 - coefficient) * y * y;
        return energy;
    }

    friend bool operator==(const SpeechBandDetector&, const SpeechBandDetector&) = default;
};

}  // namespace corvaline
