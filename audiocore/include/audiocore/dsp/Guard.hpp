#pragma once
// Setting guards and small numeric helpers shared by the dsp and finishing sources.

#include <algorithm>
#include <cmath>

namespace corvaline::dsp_detail {

/// `value` clamped to lo…hi, or `fallback` when it is not finite.
inline double guarded(double value, double lo, double hi, double fallback) {
    return std::isfinite(value) ? std::clamp(value, lo, hi) : fallback;
}

/// One-pole coefficient for a time constant of `seconds` at `rate`.
inline double onePole(double rate, double seconds) {
    return std::exp(-1.0 / (rate * seconds));
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
