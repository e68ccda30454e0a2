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

/// 10^(dB/20) through the vector exponential: the same bits as vector_math::decibelGains.
inline double dbToGain(double dB) {
    return vector_math::exp(dB * kDBToExponent);
}

/// a < b ? x : y chosen as data, without a branch: a recursion that takes one of two
/// precomputed steps then never waits on a mispredicted jump.
inline double chooseIfLess(double a, double b, double x, double y) {
    typedef double Lane __attribute__((vector_size(16)));
    const Lane chosen = Lane{a, a} < Lane{b, b} ? Lane{x, x} : Lane{y, y};
    return chosen[0];
}

inline double finiteOrZero(double x) {
    return std::isfinite(x) ? x : 0.0;
}

typedef double Lanes2 __attribute__((vector_size(16)));

/// finiteOrZero() in each lane: v − v is 0 exactly when v is finite.
inline Lanes2 finiteOrZero(Lanes2 v) {
    return (v - v) == Lanes2{} ? v : Lanes2{};
}

}  // namespace corvaline::dsp_detail
