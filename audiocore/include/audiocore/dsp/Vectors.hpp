#pragma once
// Which vector instructions the dsp code runs with, read once from the processor. Every
// vectorised routine also has a plain SSE2 form (part of every x86-64 processor) with the same
// results lane for lane; only the vector exponentials and logarithms differ between the forms,
// by a few units in the last place.

namespace corvaline::dsp_detail {

enum class Vectors { sse2 = 0, avx2 = 1, avx512 = 2 };

/// The widest set in use.
Vectors vectors();

/// Uses at most `widest` from now on, never more than the processor has, and returns the set in
/// use. Tests run every form on one machine with it; set it before processing starts.
Vectors limitVectors(Vectors widest);

inline bool withAvx2() {
    return vectors() >= Vectors::avx2;
}

inline bool withAvx512() {
    return vectors() >= Vectors::avx512;
}

}  // namespace corvaline::dsp_detail
