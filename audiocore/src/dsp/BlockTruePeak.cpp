#include "audiocore/dsp/BlockTruePeak.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include "audiocore/dsp/Vectors.hpp"

namespace corvaline {

namespace {

constexpr int kTaps = 49;
constexpr int kFactor = 4;
typedef double Doubles2 __attribute__((vector_size(16)));

typedef double Doubles4 __attribute__((vector_size(32)));
typedef float Floats4 __attribute__((vector_size(16)));

typedef long long Bits4 __attribute__((vector_size(32)));

/// |v| of four lanes: the sign bits cleared, as fabs does.
__attribute__((target("avx2"))) inline Doubles4 magnitudeLanes(Doubles4 v) {
    const Bits4 noSign = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL,
                          0x7fffffffffffffffLL};
    return Doubles4(Bits4(v) & noSign);
}

/// |v| once stored as a float, four lanes at a time.
__attribute__((target("avx2"))) inline Doubles4 storedLanes(Doubles4 v) {
    return magnitudeLanes(__builtin_convertvector(__builtin_convertvector(v, Floats4), Doubles4));
}

__attribute__((target("avx2"))) inline Doubles4 largerLanes(Doubles4 a, Doubles4 b) {
    return a < b ? b : a;
}

/// The readings of eight output samples from x[0] on (x[−k] is delayed by k), four lanes to a
/// register: each lane adds its phase 1-3 products in order of increasing delay, as the frame
/// detector does, and takes the largest of the sample itself, its phase-0 value and the three
/// phases, each once stored as a float, as the frame detector reads them.
__attribute__((target("avx2"))) void eightReadings(const double* x, const double* taps, int span,
                                                   int centre, double centreTap, double* readings) {
    Doubles4 a1lo = {}, a1hi = {}, a2lo = {}, a2hi = {}, a3lo = {}, a3hi = {};
    for (int k = 0; k < span; ++k) {
        const double t1 = taps[k * kFactor + 1];
        const double t2 = taps[k * kFactor + 2];
        const double t3 = taps[k * kFactor + 3];
        const Doubles4 h1 = {t1, t1, t1, t1};
        const Doubles4 h2 = {t2, t2, t2, t2};
        const Doubles4 h3 = {t3, t3, t3, t3};
        Doubles4 lo;
        Doubles4 hi;
        std::memcpy(&lo, x - k, sizeof lo);
        std::memcpy(&hi, x - k + 4, sizeof hi);
        a1lo += lo * h1;
        a1hi += hi * h1;
        a2lo += lo * h2;
        a2hi += hi * h2;
        a3lo += lo * h3;
        a3hi += hi * h3;
    }
    const Doubles4 h0 = {centreTap, centreTap, centreTap, centreTap};
    const Doubles4 zero = {0, 0, 0, 0};
    for (int half = 0; half < 2; ++half) {
        Doubles4 sample;
        Doubles4 delayed;
        std::memcpy(&sample, x + 4 * half, sizeof sample);
        std::memcpy(&delayed, x + 4 * half - centre, sizeof delayed);
        Doubles4 reading = magnitudeLanes(sample);
        reading = largerLanes(reading, storedLanes(zero + delayed * h0));
        reading = largerLanes(reading, storedLanes(half == 0 ? a1lo : a1hi));
        reading = largerLanes(reading, storedLanes(half == 0 ? a2lo : a2hi));
        reading = largerLanes(reading, storedLanes(half == 0 ? a3lo : a3hi));
        std::memcpy(readings + 4 * half, &reading, sizeof reading);
    }
}

/// Raises framePeaks[0…7] (when given) and the lanes of `peak` to eight readings.
__attribute__((target("avx2"))) inline void raiseEight(double* framePeaks, const double* readings,
                                                       Doubles4& peak) {
    for (int half = 0; half < 2; ++half) {
        Doubles4 reading;
        std::memcpy(&reading, readings + 4 * half, sizeof reading);
        if (framePeaks) {
            Doubles4 frame;
            std::memcpy(&frame, framePeaks + 4 * half, sizeof frame);
            frame = largerLanes(frame, reading);
            std::memcpy(framePeaks + 4 * half, &frame, sizeof frame);
        }
        peak = largerLanes(peak, reading);
    }
}

/// eightReadings() over whole groups of eight from x[0]: returns how many samples it read.
__attribute__((target("avx2"))) uint32_t readEights(const double* x, uint32_t frames,
                                                    const double* taps, int span, int centre,
                                                    double centreTap, double* framePeaks,
                                                    double& peak) {
    Doubles4 lanes = {peak, peak, peak, peak};
    double readings[8];
    uint32_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        eightReadings(x + i, taps, span, centre, centreTap, readings);
        raiseEight(framePeaks ? framePeaks + i : nullptr, readings, lanes);
    }
    for (int l = 0; l < 4; ++l)
        peak = std::max(peak, lanes[l]);
    return i;
}

/// |value| once stored as a float, as the frame-by-frame detector reads it.
inline double stored(double value) {
    return std::fabs(double(float(value)));
}

}  // namespace

BlockTruePeak::BlockTruePeak(int channels) {
    if (channels < 1) throw std::invalid_argument("BlockTruePeak: no channel");
    taps_.assign(size_t(kDelay) * kFactor, 0.0);
    for (int j = 0; j < kTaps; ++j) {
        const double m = double(j) - double(kTaps - 1) / 2.0;
        double h = 1.0;
        if (std::fabs(m) > 0.000001) {
            h = std::sin(m * std::numbers::pi / kFactor) / (m * std::numbers::pi / kFactor);
        }
        h *= 0.5 * (1 - std::cos(2 * std::numbers::pi * j / (kTaps - 1)));
        if (std::fabs(h) > 0.000001) taps_[size_t(j / kFactor) * kFactor + size_t(j % kFactor)] = h;
    }
    for (int k = 0; k < kDelay; ++k) {
        if (taps_[size_t(k) * kFactor] != 0.0) centre_ = k;
    }
    while (span_ < kDelay && taps_[size_t(span_) * kFactor + 1] != 0.0)
        ++span_;
    lines_.assign(size_t(channels), std::vector<double>(size_t(kDelay), 0.0));
    peaks_.assign(size_t(channels), 0.0);
}

void BlockTruePeak::reserve(uint32_t frames) {
    for (std::vector<double>& line : lines_) {
        if (line.size() < size_t(kDelay) + frames) line.resize(size_t(kDelay) + frames);
    }
}

double BlockTruePeak::run(int c, const float* samples, uint32_t frames, double* framePeaks) {
    std::vector<double>& line = lines_[size_t(c)];
    if (line.size() < size_t(kDelay) + frames) line.resize(size_t(kDelay) + frames);
    // Sample i of the block is line[kDelay + i]; the one delayed by k is line[kDelay + i − k].
    // The line holds the samples as doubles, converted once.
    double* const x = line.data() + kDelay;
    for (uint32_t i = 0; i < frames; ++i)
        x[i] = double(samples[i]);
    const double centre = taps_[size_t(centre_) * kFactor];
    const double* taps = taps_.data();
    const int span = span_;
    double peak = 0;
    const auto report = [&](uint32_t i, double a1, double a2, double a3) {
        const double value = std::max({double(std::fabs(samples[i])),
                                       stored(0.0 + double(x[long(i) - centre_]) * centre),
                                       stored(a1), stored(a2), stored(a3)});
        if (framePeaks) framePeaks[i] = std::max(framePeaks[i], value);
        peak = std::max(peak, value);
    };
    // Four output samples at a time, their three phase sums in registers (two lanes each);
    // every lane adds its products in order of increasing delay, as the frame detector does.
    uint32_t i = 0;
    if (dsp_detail::withAvx2())
        i = readEights(x, frames, taps, span, centre_, centre, framePeaks, peak);
    for (; i + 4 <= frames; i += 4) {
        Doubles2 a1lo = {}, a1hi = {}, a2lo = {}, a2hi = {}, a3lo = {}, a3hi = {};
        for (int k = 0; k < span; ++k) {
            const Doubles2 h1 = {taps[k * kFactor + 1], taps[k * kFactor + 1]};
            const Doubles2 h2 = {taps[k * kFactor + 2], taps[k * kFactor + 2]};
            const Doubles2 h3 = {taps[k * kFactor + 3], taps[k * kFactor + 3]};
            Doubles2 lo;
            Doubles2 hi;
            std::memcpy(&lo, x + long(i) - k, sizeof lo);
            std::memcpy(&hi, x + long(i) - k + 2, sizeof hi);
            a1lo += lo * h1;
            a1hi += hi * h1;
            a2lo += lo * h2;
            a2hi += hi * h2;
            a3lo += lo * h3;
            a3hi += hi * h3;
        }
        report(i, a1lo[0], a2lo[0], a3lo[0]);
        report(i + 1, a1lo[1], a2lo[1], a3lo[1]);
        report(i + 2, a1hi[0], a2hi[0], a3hi[0]);
        report(i + 3, a1hi[1], a2hi[1], a3hi[1]);
    }
    for (; i < frames; ++i) {
        double a1 = 0, a2 = 0, a3 = 0;
        for (int k = 0; k < span; ++k) {
            const double v = double(x[long(i) - k]);
            a1 += v * taps[k * kFactor + 1];
            a2 += v * taps[k * kFactor + 2];
            a3 += v * taps[k * kFactor + 3];
        }
        report(i, a1, a2, a3);
    }
    // Keep the newest kDelay samples as the next block's history.
    std::memmove(line.data(), line.data() + frames, size_t(kDelay) * sizeof(double));
    return peak;
}

double BlockTruePeak::add(int c, const float* samples, uint32_t frames) {
    const double peak = run(c, samples, frames, nullptr);
    peaks_[size_t(c)] = std::max(peaks_[size_t(c)], peak);
    return peak;
}

void BlockTruePeak::addFrames(int c, const float* samples, uint32_t frames, double* framePeaks) {
    const double peak = run(c, samples, frames, framePeaks);
    peaks_[size_t(c)] = std::max(peaks_[size_t(c)], peak);
}

}  // namespace corvaline
