#include "audiocore/dsp/TruePeakMeter.hpp"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>

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

float dot(const float* h, const float* x, int taps) {
    float sum = 0;
    for (int j = 0; j < taps; ++j)
        sum += h[j] * x[j];
    return sum;
}

// The short kernel's values of one grid phase at kChunk consecutive positions: the lanes are
// independent, so the loop vectorises without reordering any sum.
void gridPhase(const float* h, const float* x, float* y) {
    float acc[kChunk] = {};
    for (int j = 0; j < TruePeakMeter::kShortTaps; ++j) {
        const float tap = h[j];
        const float* column = x + j;
        for (int i = 0; i < kChunk; ++i)
            acc[i] += tap * column[i];
    }
    std::memcpy(y, acc, sizeof acc);
}

}  // namespace

TruePeakMeter::TruePeakMeter(int channels) : channels_(channels) {
    if (channels < 1 || channels > kMaxChannels) {
        throw std::invalid_argument("TruePeakMeter: unsupported channel count");
    }
    double unused = 0;
    grid_ = design(kShortTaps, kPhases, kGridStep, &unused);
    fine_ = design(kLongTaps, kPhases, 1, &fineSum_);
    lines_.resize(size_t(channels));
    for (Channel& line : lines_) {
        // Silence before the first sample.
        line.samples.assign(size_t(2 * kHalf + 1), 0.0f);
        line.held = kHalf;
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
    for (size_t c = 0; c < chunks; ++c) {
        const int64_t a = int64_t(c) * kChunk;
        const int64_t n = std::min<int64_t>(kChunk, positions - a);
        float largest = 0;
        for (int64_t i = a; i < a + n + 2 * kHalf + 1; ++i)
            largest = std::max(largest, std::abs(x[i]));
        chunkLimit_[c] = largest;
        order_[c] = uint32_t(c);
    }
    // Loudest spans first: once a span's bound falls under the peak found, so do the rest.
    std::sort(order_.begin(), order_.end(),
              [this](uint32_t l, uint32_t r) { return chunkLimit_[l] > chunkLimit_[r]; });

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
        double gridPeak = 0;
        for (int g = 0; g < kGridPhases; ++g) {
            gridPhase(grid_.data() + size_t(g) * kShortTaps, base, grid[g]);
            for (int64_t i = 0; i < n; ++i)
                gridPeak = std::max(gridPeak, double(std::abs(grid[g][i])));
        }
        // Between grid points (and in what the short kernel misses) the signal can rise only
        // near a grid value this large.
        const double candidate = std::max(peak_, gridPeak) * kGridBound * kCandidateMargin;
        // Neighbouring candidates share half their fine phases: each is computed once.
        std::bitset<size_t(kChunk * kPhases + 2 * kGridStep)> refined;
        for (int g = 0; g < kGridPhases; ++g) {
            for (int64_t i = 0; i < n; ++i) {
                if (double(std::abs(grid[g][i])) < candidate) continue;
                for (int d = 1 - kGridStep; d < kGridStep; ++d) {
                    const auto slot = size_t(i * kPhases + g * kGridStep + d + kGridStep);
                    if (refined.test(slot)) continue;
                    refined.set(slot);
                    int phase = g * kGridStep + d;
                    int64_t p = a + i;
                    if (phase < 0) {
                        phase += kPhases;
                        --p;
                    } else if (phase >= kPhases) {
                        phase -= kPhases;
                        ++p;
                    }
                    // The long kernel at position p reads samples p + 1 … p + kLongTaps.
                    const float value =
                        dot(fine_.data() + size_t(phase) * kLongTaps, x + p + 1, kLongTaps);
                    peak_ = std::max(peak_, double(std::abs(value)));
                }
            }
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
