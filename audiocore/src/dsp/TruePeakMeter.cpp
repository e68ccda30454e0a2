#include "audiocore/dsp/TruePeakMeter.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>
#include "audiocore/dsp/Vectors.hpp"

namespace corvaline {

namespace {

/// Context kept either side of a position: what the long kernel reads, plus one sample for the
/// refinement of the neighbouring intervals.
constexpr int kHalf = TruePeakMeter::kLongTaps / 2;
constexpr int kShortHalf = TruePeakMeter::kShortTaps / 2;
constexpr int kGridPhases = TruePeakMeter::kPhases / TruePeakMeter::kGridStep;
/// Positions screened together: one bound per span of this many samples.
constexpr int kChunk = 32;
/// Kaiser window shape: about 80 dB of stop band.
constexpr double kKaiserBeta = 8.0;
/// Grid bounds of a signal band-limited to half the rate (see the header).
const double kGridBound = std::cos(std::numbers::pi / 16);
const double kHalfGridBound = std::cos(std::numbers::pi / 4);
const double kFineBound = 1 / std::cos(std::numbers::pi / 128);
/// How far under the possible peak a short-kernel grid value still gets refined: covers what
/// the short kernel can miss of content close to half the rate.
constexpr double kCandidateMargin = 0.891250938;  // -1 dB
/// Float accumulation of up to 256 products: a relative error far below this margin.
constexpr double kRoundingMargin = 1 + 1e-5;

/// Phase φ/phases of a windowed sinc reading `taps` samples: tap j weighs the sample
/// m = j − (taps/2 − 1) frames from the position, at t − m. Each phase has unit DC gain.
std::vector<float> design(int taps, int phases, int step, double* largestSum) {
    std::vector<float> kernel;
    const double norm = std::cyl_bessel_i(0.0, kKaiserBeta);
    const int half = taps / 2;
    *largestSum = 0;
    for (int phase = 0; phase < phases; phase += step) {
        const double t = double(phase) / phases;
        std::vector<double> h(static_cast<size_t>(taps), 0.0);
        double sum = 0;
        for (int j = 0; j < taps; ++j) {
            const double x = t - double(j - (half - 1));
            const double r = x / half;
            const double window =
                std::abs(r) < 1 ? std::cyl_bessel_i(0.0, kKaiserBeta * std::sqrt(1 - r * r)) / norm
                                : 0.0;
            const double sinc =
                x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
            h[size_t(j)] = sinc * window;
            sum += h[size_t(j)];
        }
        double absolute = 0;
        for (double v : h) {
            kernel.push_back(float(v / sum));
            absolute += std::abs(v / sum);
        }
        *largestSum = std::max(*largestSum, absolute);
    }
    return kernel;
}

/// One refined value: kLongTaps products summed in eight interleaved partial sums, so that the
/// loop runs in vector lanes.
float dotSse2(const float* h, const float* x) {
    constexpr int kLanes = 8;
    float partial[kLanes] = {};
    for (int j = 0; j < TruePeakMeter::kLongTaps; j += kLanes) {
        for (int l = 0; l < kLanes; ++l)
            partial[l] += h[j + l] * x[j + l];
    }
    float sum = 0;
    for (float v : partial)
        sum += v;
    return sum;
}

typedef float Lanes4 __attribute__((vector_size(16)));
typedef float Lanes8 __attribute__((vector_size(32)));

// Helpers of the SSE2 forms, always inlined.
template <class V>
inline __attribute__((always_inline)) V load(const float* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

// The short kernel's values of one grid phase at kChunk consecutive positions, the lanes held
// in registers: eight vectors of four with SSE2, four of eight with AVX2. Each value is the same
// ordered sum of products either way, so readings do not depend on the processor.
static_assert(kChunk == 32);

typedef int Ints4 __attribute__((vector_size(16)));

// |v| lane by lane: the sign bit cleared.
template <class V, class I>
inline __attribute__((always_inline)) V magnitude(V v) {
    I bits;
    std::memcpy(&bits, &v, sizeof v);
    bits &= 0x7fffffff;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

template <class V>
inline __attribute__((always_inline)) V larger(V a, V b) {
    return a > b ? a : b;
}

template <class V>
inline __attribute__((always_inline)) float largestLane(V v) {
    float lanes[sizeof(V) / sizeof(float)];
    std::memcpy(lanes, &v, sizeof v);
    float m = 0;
    for (float l : lanes)
        m = std::max(m, l);
    return m;
}

/// The largest |x[i]| of n finite samples.
float largestMagnitude(const float* x, size_t n) {
    Lanes4 m0 = {}, m1 = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        m0 = larger(m0, magnitude<Lanes4, Ints4>(load<Lanes4>(x + i)));
        m1 = larger(m1, magnitude<Lanes4, Ints4>(load<Lanes4>(x + i + 4)));
    }
    float m = largestLane(larger(m0, m1));
    for (; i < n; ++i)
        m = std::max(m, std::abs(x[i]));
    return m;
}

// Both forms return the largest |value| of the phase.
template <int Taps>
float gridPhaseSse2(const float* h, const float* x, float* y) {
    Lanes4 a[8] = {};
    Lanes4 a0 = {}, a1 = {}, a2 = {}, a3 = {}, a4 = {}, a5 = {}, a6 = {}, a7 = {};
    for (int j = 0; j < Taps; ++j) {
        const float tap = h[j];
        const float* c = x + j;
        a0 += tap * load<Lanes4>(c);
        a1 += tap * load<Lanes4>(c + 4);
        a2 += tap * load<Lanes4>(c + 8);
        a3 += tap * load<Lanes4>(c + 12);
        a4 += tap * load<Lanes4>(c + 16);
        a5 += tap * load<Lanes4>(c + 20);
        a6 += tap * load<Lanes4>(c + 24);
        a7 += tap * load<Lanes4>(c + 28);
    }
    a[0] = a0, a[1] = a1, a[2] = a2, a[3] = a3, a[4] = a4, a[5] = a5, a[6] = a6, a[7] = a7;
    std::memcpy(y, a, sizeof a);
    Lanes4 m = {};
    for (const Lanes4& v : a)
        m = larger(m, magnitude<Lanes4, Ints4>(v));
    return largestLane(m);
}

template <int Taps>
__attribute__((target("avx2"))) float gridPhaseAvx2(const float* h, const float* x, float* y) {
    Lanes8 a0 = {}, a1 = {}, a2 = {}, a3 = {};
    for (int j = 0; j < Taps; ++j) {
        const float tap = h[j];
        Lanes8 c0, c1, c2, c3;
        std::memcpy(&c0, x + j, sizeof c0);
        std::memcpy(&c1, x + j + 8, sizeof c1);
        std::memcpy(&c2, x + j + 16, sizeof c2);
        std::memcpy(&c3, x + j + 24, sizeof c3);
        a0 += tap * c0;
        a1 += tap * c1;
        a2 += tap * c2;
        a3 += tap * c3;
    }
    std::memcpy(y, &a0, sizeof a0);
    std::memcpy(y + 8, &a1, sizeof a1);
    std::memcpy(y + 16, &a2, sizeof a2);
    std::memcpy(y + 24, &a3, sizeof a3);
    const Lanes8 zero = {};
    const Lanes8 m0 = a0 > zero ? a0 : -a0;
    const Lanes8 m1 = a1 > zero ? a1 : -a1;
    const Lanes8 m2 = a2 > zero ? a2 : -a2;
    const Lanes8 m3 = a3 > zero ? a3 : -a3;
    const Lanes8 m01 = m0 > m1 ? m0 : m1;
    const Lanes8 m23 = m2 > m3 ? m2 : m3;
    const Lanes8 m = m01 > m23 ? m01 : m23;
    float lanes[8];
    std::memcpy(lanes, &m, sizeof m);
    float largest = 0;
    for (float l : lanes)
        largest = std::max(largest, l);
    return largest;
}

// The same sums as dotSse2, in the same order, the eight partial sums in one register.
__attribute__((target("avx2"))) float dotAvx2(const float* h, const float* x) {
    Lanes8 acc = {};
    for (int j = 0; j < TruePeakMeter::kLongTaps; j += 8) {
        Lanes8 hj, xj;
        std::memcpy(&hj, h + j, sizeof hj);
        std::memcpy(&xj, x + j, sizeof xj);
        acc += hj * xj;
    }
    float partial[8];
    std::memcpy(partial, &acc, sizeof acc);
    float sum = 0;
    for (float v : partial)
        sum += v;
    return sum;
}

// The widest form in use (SSE2 is part of every x86-64 processor).
auto gridPhaseForm() {
    return dsp_detail::withAvx2() ? gridPhaseAvx2<TruePeakMeter::kShortTaps>
                                  : gridPhaseSse2<TruePeakMeter::kShortTaps>;
}
/// The same with the long kernel (a phase of the refined grid at kChunk positions).
auto longPhaseForm() {
    return dsp_detail::withAvx2() ? gridPhaseAvx2<TruePeakMeter::kLongTaps>
                                  : gridPhaseSse2<TruePeakMeter::kLongTaps>;
}
auto dotForm() {
    return dsp_detail::withAvx2() ? dotAvx2 : dotSse2;
}

}  // namespace

TruePeakMeter::TruePeakMeter(int channels) : channels_(channels) {
    if (channels < 1 || channels > kMaxChannels) {
        throw std::invalid_argument("TruePeakMeter: unsupported channel count");
    }
    // The kernels are the same for every meter: designed once, shared read-only.
    static const auto kernels = [] {
        Kernels k;
        double unused = 0;
        k.grid = design(kShortTaps, kPhases, kGridStep, &unused);
        k.fine = design(kLongTaps, kPhases, 1, &k.fineSum);
        return std::make_shared<const Kernels>(std::move(k));
    }();
    kernels_ = kernels;
    grid_ = kernels->grid.data();
    fine_ = kernels->fine.data();
    fineSum_ = kernels->fineSum;
    lines_.resize(size_t(channels));
    for (Channel& line : lines_) {
        line.samples.assign(size_t(2 * kHalf + 1), 0.0f);
        // Silence before the first sample, the last silent sample's interval measured too: an
        // abrupt start rings before the first sample, as every interpolator shows.
        line.held = kHalf + 1;
    }
}

void TruePeakMeter::add(const AudioBuffer& block, std::span<const int> indices) {
    const float* planes[kMaxChannels];
    const int count = indices.empty() ? block.channelCount() : int(indices.size());
    if (count != channels_) throw std::invalid_argument("TruePeakMeter: channel count differs");
    for (int c = 0; c < count; ++c)
        planes[c] = block.channel(indices.empty() ? c : indices[size_t(c)]);
    add(planes, block.frameLength());
}

void TruePeakMeter::add(const float* const* planes, uint32_t frames) {
    if (frames == 0) return;
    for (int c = 0; c < channels_; ++c) {
        Channel& line = lines_[size_t(c)];
        const size_t need = size_t(line.held) + frames;
        if (line.samples.size() < need) line.samples.resize(need);
        float* out = line.samples.data() + line.held;
        const float* in = planes[c];
        for (uint32_t i = 0; i < frames; ++i)
            out[i] = std::isfinite(in[i]) ? in[i] : 0.0f;
        line.held += frames;
        // Every position with its full context is measured now; the context stays.
        const int64_t positions = line.held - 2 * kHalf - 1;
        if (positions > 0) {
            scanChannel(line, positions);
            const size_t keep = size_t(line.held - positions);
            std::memmove(line.samples.data(), line.samples.data() + positions,
                         keep * sizeof(float));
            line.held = int64_t(keep);
        }
    }
}

// Positions 0…positions−1 of the line. Position p's own sample is samples[p + kHalf]; the
// interval after it is what its phases interpolate.
void TruePeakMeter::scanChannel(Channel& line, int64_t positions) {
    const float* x = line.samples.data();
    const auto chunks = size_t((positions + kChunk - 1) / kChunk);
    chunkLimit_.resize(chunks);
    order_.resize(chunks);
    // Span c reads samples c × kChunk … c × kChunk + kChunk + 2 × kHalf: within the blocks of
    // kChunk samples c … c + kSpanBlocks − 1 (a little more at most, which only loosens the bound).
    constexpr size_t kSpanBlocks = (kChunk + 2 * kHalf + 1 + kChunk - 1) / kChunk + 1;
    const int64_t held = line.held;
    const auto blocks = size_t((held + kChunk - 1) / kChunk);
    blockLimit_.resize(blocks);
    for (size_t b = 0; b < blocks; ++b) {
        const int64_t from = int64_t(b) * kChunk;
        blockLimit_[b] = largestMagnitude(x + from, size_t(std::min<int64_t>(kChunk, held - from)));
    }
    for (size_t c = 0; c < chunks; ++c) {
        float largest = 0;
        for (size_t b = c; b < std::min(blocks, c + kSpanBlocks); ++b)
            largest = std::max(largest, blockLimit_[b]);
        chunkLimit_[c] = largest;
        order_[c] = uint32_t(c);
    }
    // Loudest spans first: once a span's bound falls under the peak found, so do the rest.
    std::sort(order_.begin(), order_.end(),
              [this](uint32_t l, uint32_t r) { return chunkLimit_[l] > chunkLimit_[r]; });
    const auto gridPhase = gridPhaseForm();
    const auto longPhase = longPhaseForm();

    // The refined value at fine index f = p × kPhases + phase (the time p + phase/kPhases), for
    // p from −1 to `positions`: the long kernel at position p reads samples p + 1 … p + kLongTaps.
    const int64_t first = -kPhases;
    const int64_t last = (positions + 1) * kPhases - 1;
    const auto dot = dotForm();
    const auto refined = [&](int64_t f) {
        const int64_t p = f >= 0 ? f / kPhases : -1;
        const auto phase = size_t(f - p * kPhases);
        const float value = std::abs(dot(fine_ + phase * kLongTaps, x + p + 1));
        peak_ = std::max(peak_, double(value));
        return value;
    };
    // Climbs the refined values from `start` in both directions to the top of its lobe.
    const auto climb = [&](int64_t start) {
        const float top = refined(start);
        for (const int64_t step : {int64_t(-1), int64_t(1)}) {
            float level = top;
            for (int64_t f = start + step; f >= first && f <= last; f += step) {
                const float value = refined(f);
                if (value < level) break;
                level = value;
            }
        }
    };

    // One short-kernel grid value, in the order of gridPhase's sums.
    const auto shortValue = [this](int g, const float* from) {
        const float* h = grid_ + size_t(g) * kShortTaps;
        float sum = 0;
        for (int j = 0; j < kShortTaps; ++j)
            sum += h[j] * from[j];
        return sum;
    };

    float grid[kGridPhases][kChunk];
    for (const uint32_t c : order_) {
        if (double(chunkLimit_[c]) * fineSum_ <= peak_) break;
        const int64_t a = int64_t(c) * kChunk;
        const int64_t n = std::min<int64_t>(kChunk, positions - a);
        // The short kernel at position p reads samples p + kHalf − (kShortHalf − 1) onwards; a
        // short last span is padded so that the vector loop never reads past the context.
        const float* base = x + a + kHalf - (kShortHalf - 1);
        float padded[kChunk + kShortTaps];
        if (n < kChunk) {
            std::fill(std::begin(padded), std::end(padded), 0.0f);
            std::copy(base, base + n + kShortTaps - 1, padded);
            base = padded;
        }
        // The middle phase first, with the long kernel: with the samples themselves it is a grid
        // of two points a sample, which a band-limited signal exceeds by at most 1/cos(π/4). A
        // span whose top cannot reach the peak that way needs no other phase. The grid's
        // points closest to a top in the span's last interval include the next span's first
        // sample, so it counts.
        constexpr int kMiddle = kGridPhases / 2;
        const float* longBase = x + a + 1;
        float longPadded[kChunk + kLongTaps];
        if (n < kChunk) {
            std::fill(std::begin(longPadded), std::end(longPadded), 0.0f);
            std::copy(longBase, longBase + n + kLongTaps - 1, longPadded);
            longBase = longPadded;
        }
        float middle[kChunk];
        const float middlePeak =
            longPhase(fine_ + size_t(kMiddle * kGridStep) * kLongTaps, longBase, middle);
        const float own = largestMagnitude(x + a + kHalf, size_t(n) + 1);
        if (double(std::max(middlePeak, own)) < peak_ * kHalfGridBound * kCandidateMargin) continue;
        float gridPeak = 0;
        for (int g = 0; g < kGridPhases; ++g)
            gridPeak = std::max(gridPeak, gridPhase(grid_ + size_t(g) * kShortTaps, base, grid[g]));
        // How far the short kernel strays from the long one on this span, read on the middle
        // phase (where its error is largest): content close to half the rate, which the short
        // kernel attenuates, can make it read several dB low.
        float stray = 0;
        for (int64_t i = 0; i < n; ++i)
            stray = std::max(stray, std::abs(middle[i] - grid[kMiddle][i]));
        if (n < kChunk) {
            // The padded lanes interpolate samples that are not there: only the real ones count.
            gridPeak = 0;
            for (int g = 0; g < kGridPhases; ++g) {
                for (int64_t i = 0; i < n; ++i)
                    gridPeak = std::max(gridPeak, std::abs(grid[g][i]));
            }
        }
        // The grid value just after the span (the next span's first sample) is as close to a
        // top in the span's last interval as the span's own values are.
        const float after = std::abs(shortValue(0, x + a + n + kHalf - (kShortHalf - 1)));
        gridPeak = std::max(gridPeak, after);
        // Only a lobe whose grid values come this close to the peak can rise above it: within
        // the grid's bound and the short kernel's error (1 dB, and twice what it strays here).
        const double candidate =
            std::max(peak_, double(gridPeak)) * kGridBound * kCandidateMargin - 2.0 * stray;
        if (double(gridPeak) < candidate) continue;
        // The grid in time order, |values|: entry k + 1 is position a + k / kGridPhases, phase
        // k % kGridPhases. The entries just outside the span come from the same kernel, so a
        // maximum is one of the whole grid, wherever the spans begin.
        const auto count = int(n) * kGridPhases;
        float ordered[kChunk * kGridPhases + 2];
        ordered[0] = std::abs(shortValue(kGridPhases - 1, x + a - 1 + kHalf - (kShortHalf - 1)));
        ordered[count + 1] = after;
        for (int64_t i = 0; i < n; ++i) {
            for (int g = 0; g < kGridPhases; ++g)
                ordered[1 + i * kGridPhases + g] = std::abs(grid[g][i]);
        }
        const auto floor = float(candidate);
        for (int k = 0; k < count; ++k) {
            const float v = ordered[k + 1];
            if (v < floor || v == 0) continue;
            const float left = ordered[k];
            const float right = ordered[k + 2];
            if (left > v || right > v) continue;
            // A local maximum of the grid: the climb finds the top of its lobe of refined values.
            // It starts where the parabola through the three grid values peaks (within half a
            // grid step of the maximum), which saves most of its steps.
            const float bend = left - 2 * v + right;
            const float offset = bend < 0 ? 0.5f * (left - right) / bend : 0.0f;
            const auto shift = int64_t(std::lround(std::clamp(offset, -0.5f, 0.5f) * kGridStep));
            climb((a + k / kGridPhases) * kPhases + (k % kGridPhases) * kGridStep + shift);
        }
    }
}

double TruePeakMeter::peak() const {
    // Flush a copy with silence, so that the last samples' ringing is measured.
    TruePeakMeter tail(*this);
    std::vector<float> silence(size_t(2 * kHalf + 1), 0.0f);
    const float* planes[kMaxChannels];
    for (int c = 0; c < channels_; ++c)
        planes[c] = silence.data();
    tail.add(planes, uint32_t(silence.size()));
    return tail.peak_ * kFineBound * kRoundingMargin;
}

double TruePeakMeter::errorBound(double error) const {
    return fineSum_ * error * kFineBound * kRoundingMargin;
}

double TruePeakMeter::peakDB() const {
    const double p = peak();
    return p > 0 ? 20 * std::log10(p) : -std::numeric_limits<double>::infinity();
}

}  // namespace corvaline
