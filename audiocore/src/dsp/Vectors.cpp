#include "audiocore/dsp/Vectors.hpp"

#include <algorithm>
#include <atomic>

namespace corvaline::dsp_detail {

namespace {

Vectors processorVectors() {
    if (__builtin_cpu_supports("avx512f")) return Vectors::avx512;
    if (__builtin_cpu_supports("avx2")) return Vectors::avx2;
    return Vectors::sse2;
}

// A function's static: ready whichever static initialiser asks first.
std::atomic<Vectors>& inUse() {
    static std::atomic<Vectors> vectors{processorVectors()};
    return vectors;
}

}  // namespace

Vectors vectors() {
    return inUse().load(std::memory_order_relaxed);
}

Vectors limitVectors(Vectors widest) {
    const Vectors chosen = std::min(widest, processorVectors());
    inUse().store(chosen, std::memory_order_relaxed);
    return chosen;
}

}  // namespace corvaline::dsp_detail
