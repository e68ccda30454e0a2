#pragma once
// Exponentials and logarithms of whole runs of values at once, through the C library's vector
// math (eight lanes with AVX-512, four with AVX2, two with SSE2). The per-frame gains of the
// leveler, the compressor and the lav bleed suppressor are computed here in batches.
//
// A value's result depends only on the value, never on its neighbours or on the length of the
// run: the single-value forms go through the same lanes, so a frame processed alone and the
// same frame inside a batch get the same bits. The lanes are within a few units in the last
// place of the exact result (a relative error near 1e-15, some 300 dB under the signal).

#include <cstddef>

namespace corvaline::vector_math {

/// to[i] = e^(from[i]) for i < n. `from` and `to` may be the same array.
void exp(const double* from, double* to, std::size_t n);
/// to[i] = ln(from[i]) for i < n (from[i] > 0). `from` and `to` may be the same array.
void log(const double* from, double* to, std::size_t n);

/// gains[i] = 10^(dB[i]/20) for i < n, taken as e^(dB[i] × ln 10 / 20) in the lanes, and exactly
/// 1 at 0 dB. `dB` and `gains` may be the same array.
void decibelGains(const double* dB, double* gains, std::size_t n);

/// One value through the same lanes as the batch forms.
double exp(double x);
double log(double x);

}  // namespace corvaline::vector_math
