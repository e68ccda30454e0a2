#include "audiocore/dsp/BlockTruePeak.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace corvaline {

namespace {

constexpr int kTaps = 49;
constexpr int kFactor = 4;
/// Output samples computed side by side.
constexpr int kLanes = 32;

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
    lines_.assign(size_t(channels), std::vector<float>(size_t(kDelay), 0.0f));
    peaks_.assign(size_t(channels), 0.0);
}

double BlockTruePeak::add(int c, const float* samples, uint32_t frames) {
    std::vector<float>& line = lines_[size_t(c)];
    if (line.size() < size_t(kDelay) + frames) line.resize(size_t(kDelay) + frames);
    std::memcpy(line.data() + kDelay, samples, frames * sizeof(float));
    // Sample i of the block is line[kDelay + i]; the one delayed by k is line[kDelay + i − k].
    const float* x = line.data() + kDelay;
    double peak = 0;
    for (uint32_t i = 0; i < frames; ++i)
        peak = std::max(peak, double(std::fabs(samples[i])));
    const double centre = taps_[size_t(centre_) * kFactor];
    for (uint32_t base = 0; base < frames; base += kLanes) {
        const int lanes = int(std::min<uint32_t>(kLanes, frames - base));
        double a1[kLanes] = {};
        double a2[kLanes] = {};
        double a3[kLanes] = {};
        for (int k = 0; k < span_; ++k) {
            const double h1 = taps_[size_t(k) * kFactor + 1];
            const double h2 = taps_[size_t(k) * kFactor + 2];
            const double h3 = taps_[size_t(k) * kFactor + 3];
            const float* v = x + base - k;
            for (int i = 0; i < lanes; ++i) {
                const double s = double(v[i]);
                a1[i] += s * h1;
                a2[i] += s * h2;
                a3[i] += s * h3;
            }
        }
        const float* d = x + base - centre_;
        for (int i = 0; i < lanes; ++i) {
            peak = std::max(peak, stored(0.0 + double(d[i]) * centre));
            peak = std::max({peak, stored(a1[i]), stored(a2[i]), stored(a3[i])});
        }
    }
    // Keep the newest kDelay samples as the next block's history.
    std::memmove(line.data(), line.data() + frames, size_t(kDelay) * sizeof(float));
    peaks_[size_t(c)] = std::max(peaks_[size_t(c)], peak);
    return peak;
}

}  // namespace corvaline
