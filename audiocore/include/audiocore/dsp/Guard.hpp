#pragma once
// Small numeric helpers shared by the dsp and finishing sources. The settings' guards live in
// the settings table (audiocore/model/SettingsFields.hpp).

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "audiocore/dsp/Smoothing.hpp"
#include "audiocore/dsp/VectorMath.hpp"

namespace corvaline::dsp_detail {

/// One-pole coefficient for a time constant of `seconds` at `rate`.
inline double onePole(double rate, double seconds) {
    return OnePole::coefficient(rate, seconds);
}

/// dB × this is the natural exponent of the amplitude ratio: 10^(dB/20) = e^(dB × this).
constexpr double kDBToExponent = 0.11512925464970229;
/// ln(power) × this is 10·log10(power).
constexpr double kPowerToDB = 4.3429448190325182;

/// 10^(dB/20) through the vector exponential (the same bits as a batch of them).
inline double dbToGain(double dB) {
    return vector_math::exp(dB * kDBToExponent);
}

/// 10·log10(power) through the vector logarithm (the same bits as a batch of them).
inline double powerToDB(double power) {
    return vector_math::log(power) * kPowerToDB;
}

/// gains[i] = 10^(dB[i]/20) for i < n, exactly 1 for 0 dB; the same bits as dbToGain().
/// `dB` and `gains` must not overlap.
inline void dbToGains(const double* dB, double* gains, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        gains[i] = dB[i] * kDBToExponent;
    vector_math::exp(gains, gains, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (dB[i] == 0) gains[i] = 1;
    }
}

inline double finiteOrZero(double x) {
    return std::isfinite(x) ? x : 0.0;
}

}  // namespace corvaline::dsp_detail
