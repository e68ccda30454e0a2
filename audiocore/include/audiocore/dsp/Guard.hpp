#pragma once
// Small numeric helpers shared by the dsp and finishing sources. The settings' guards live in
// the settings table (audiocore/model/SettingsFields.hpp).

#include <algorithm>
#include <cmath>

#include "audiocore/dsp/Smoothing.hpp"

namespace corvaline::dsp_detail {

/// One-pole coefficient for a time constant of `seconds` at `rate`.
inline double onePole(double rate, double seconds) {
    return OnePole::coefficient(rate, seconds);
}

/// 10^(dB/20) through exp(), which is several times cheaper than pow() in per-frame loops.
inline double dbToGain(double dB) {
    return std::exp(dB * 0.11512925464970229);
}

/// 10·log10(power) through log(), which is cheaper than log10() in per-frame loops.
inline double powerToDB(double power) {
    return std::log(power) * 4.3429448190325182;
}

inline double finiteOrZero(double x) {
    return std::isfinite(x) ? x : 0.0;
}

}  // namespace corvaline::dsp_detail
