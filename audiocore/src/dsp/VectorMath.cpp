#include "audiocore/dsp/VectorMath.hpp"

namespace corvaline::vector_math {

namespace {

typedef double Doubles2 __attribute__((vector_size(16)));
typedef double Doubles4 __attribute__((vector_size(32)));
typedef double Doubles8 __attribute__((vector_size(64)));
// The same lanes read from and written to any double's address.
typedef double Unaligned2 __attribute__((vector_size(16), aligned(8), may_alias));
typedef double Unaligned4 __attribute__((vector_size(32), aligned(8), may_alias));
typedef double Unaligned8 __attribute__((vector_size(64), aligned(8), may_alias));

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

const bool kAvx512 = __builtin_cpu_supports("avx512f");
const bool kAvx2 = __builtin_cpu_supports("avx2");

template <Doubles2 (*Function)(Doubles2)>
void runSse2(const double* from, double* to, std::size_t n) {
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        *reinterpret_cast<Unaligned2*>(to + i) =
            Function(*reinterpret_cast<const Unaligned2*>(from + i));
    }
    if (i < n) {
        // The spare lane repeats the last value, so it stays in the fast range.
        const Doubles2 y = Function(Doubles2{from[i], from[i]});
        to[i] = y[0];
    }
}

template <Doubles4 (*Function)(Doubles4)>
__attribute__((target("avx2"))) void runAvx2(const double* from, double* to, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        *reinterpret_cast<Unaligned4*>(to + i) =
            Function(*reinterpret_cast<const Unaligned4*>(from + i));
    }
    if (i < n) {
        const std::size_t left = n - i;
        Doubles4 x = {from[n - 1], from[n - 1], from[n - 1], from[n - 1]};
        for (std::size_t l = 0; l < left; ++l)
            x[l] = from[i + l];
        const Doubles4 y = Function(x);
        for (std::size_t l = 0; l < left; ++l)
            to[i + l] = y[l];
    }
}

template <Doubles8 (*Function)(Doubles8)>
__attribute__((target("avx512f"))) void runAvx512(const double* from, double* to, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        *reinterpret_cast<Unaligned8*>(to + i) =
            Function(*reinterpret_cast<const Unaligned8*>(from + i));
    }
    if (i < n) {
        const std::size_t left = n - i;
        const double last = from[n - 1];
        Doubles8 x = {last, last, last, last, last, last, last, last};
        for (std::size_t l = 0; l < left; ++l)
            x[l] = from[i + l];
        const Doubles8 y = Function(x);
        for (std::size_t l = 0; l < left; ++l)
            to[i + l] = y[l];
    }
}

}  // namespace

void exp(const double* from, double* to, std::size_t n) {
    if (kAvx512) {
        runAvx512<_ZGVeN8v_exp>(from, to, n);
    } else if (kAvx2) {
        runAvx2<_ZGVdN4v_exp>(from, to, n);
    } else {
        runSse2<_ZGVbN2v_exp>(from, to, n);
    }
}

void log(const double* from, double* to, std::size_t n) {
    if (kAvx512) {
        runAvx512<_ZGVeN8v_log>(from, to, n);
    } else if (kAvx2) {
        runAvx2<_ZGVdN4v_log>(from, to, n);
    } else {
        runSse2<_ZGVbN2v_log>(from, to, n);
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
