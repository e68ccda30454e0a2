#include "audiocore/dsp/VectorMath.hpp"

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/Vectors.hpp"

namespace corvaline::vector_math {

namespace {

typedef double Doubles2 __attribute__((vector_size(16)));
typedef double Doubles4 __attribute__((vector_size(32)));
typedef double Doubles8 __attribute__((vector_size(64)));

}  // namespace

// The C library's vector variants (libmvec): two lanes on SSE2, four on AVX2, eight on
// AVX-512.
extern "C" {
Doubles2 _ZGVbN2v_exp(Doubles2);
Doubles2 _ZGVbN2v_log(Doubles2);
__attribute__((target("avx2"))) Doubles4 _ZGVdN4v_exp(Doubles4);
__attribute__((target("avx2"))) Doubles4 _ZGVdN4v_log(Doubles4);
__attribute__((target("avx512f"))) Doubles8 _ZGVeN8v_exp(Doubles8);
__attribute__((target("avx512f"))) Doubles8 _ZGVeN8v_log(Doubles8);
}

namespace {

/// `Function` over n values, `Lanes` (kWidth doubles) at a time; the spare lanes of a last,
/// partial register repeat the last value, so they stay in the function's fast range. With
/// kDecibels, a value is a level in dB: it is scaled to its natural exponent in the lane, and
/// 0 dB gives exactly 1.
// runLanes is only ever inlined into a function compiled for its lanes' instruction set, so
// the compiler's note about passing wide vectors without that set never applies.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <typename Lanes, int kWidth, Lanes (*Function)(Lanes), bool kDecibels>
__attribute__((always_inline)) inline void runLanes(const double* from, double* to, std::size_t n) {
    // The same lanes read from and written to any double's address.
    typedef double Unaligned __attribute__((vector_size(sizeof(Lanes)), aligned(8), may_alias));
    std::size_t i = 0;
    for (; i + kWidth <= n; i += kWidth) {
        const Lanes x = *reinterpret_cast<const Unaligned*>(from + i);
        if constexpr (kDecibels) {
            *reinterpret_cast<Unaligned*>(to + i) =
                x == 0.0 ? Lanes{} + 1.0 : Function(x * dsp_detail::kDBToExponent);
        } else {
            *reinterpret_cast<Unaligned*>(to + i) = Function(x);
        }
    }
    if (i < n) {
        const std::size_t left = n - i;
        Lanes x;
        for (int l = 0; l < kWidth; ++l)
            x[l] = from[std::size_t(l) < left ? i + std::size_t(l) : n - 1];
        Lanes y;
        if constexpr (kDecibels) {
            y = x == 0.0 ? Lanes{} + 1.0 : Function(x * dsp_detail::kDBToExponent);
        } else {
            y = Function(x);
        }
        for (std::size_t l = 0; l < left; ++l)
            to[i + l] = y[l];
    }
}

#pragma GCC diagnostic pop

template <Doubles2 (*Function)(Doubles2), bool kDecibels = false>
void runSse2(const double* from, double* to, std::size_t n) {
    runLanes<Doubles2, 2, Function, kDecibels>(from, to, n);
}

template <Doubles4 (*Function)(Doubles4), bool kDecibels = false>
__attribute__((target("avx2"))) void runAvx2(const double* from, double* to, std::size_t n) {
    runLanes<Doubles4, 4, Function, kDecibels>(from, to, n);
}

template <Doubles8 (*Function)(Doubles8), bool kDecibels = false>
__attribute__((target("avx512f"))) void runAvx512(const double* from, double* to, std::size_t n) {
    runLanes<Doubles8, 8, Function, kDecibels>(from, to, n);
}

}  // namespace

void exp(const double* from, double* to, std::size_t n) {
    if (dsp_detail::withAvx512()) {
        runAvx512<_ZGVeN8v_exp>(from, to, n);
    } else if (dsp_detail::withAvx2()) {
        runAvx2<_ZGVdN4v_exp>(from, to, n);
    } else {
        runSse2<_ZGVbN2v_exp>(from, to, n);
    }
}

void log(const double* from, double* to, std::size_t n) {
    if (dsp_detail::withAvx512()) {
        runAvx512<_ZGVeN8v_log>(from, to, n);
    } else if (dsp_detail::withAvx2()) {
        runAvx2<_ZGVdN4v_log>(from, to, n);
    } else {
        runSse2<_ZGVbN2v_log>(from, to, n);
    }
}

void decibelGains(const double* dB, double* gains, std::size_t n) {
    if (dsp_detail::withAvx512()) {
        runAvx512<_ZGVeN8v_exp, true>(dB, gains, n);
    } else if (dsp_detail::withAvx2()) {
        runAvx2<_ZGVdN4v_exp, true>(dB, gains, n);
    } else {
        runSse2<_ZGVbN2v_exp, true>(dB, gains, n);
    }
}

double exp(double x) {
    double y;
    exp(&x, &y, 1);
    return y;
}

double log(double x) {
    double y;
    log(&x, &y, 1);
    return y;
}

}  // namespace corvaline::vector_math
