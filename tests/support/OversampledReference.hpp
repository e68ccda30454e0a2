#pragma once
// An independent true-peak reference for tests: a 257-tap Blackman-windowed sinc evaluated
// directly at 32 points per sample interval, in double precision. Simple on purpose; it shares
// nothing with the engine's meters.

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace corvaline::test {

/// dBTP of `x`, evaluated in every sample interval next to a sample within 9 dB of the sample
/// peak.
inline double referenceTruePeak(const std::vector<float>& x) {
    constexpr long kHalf = 128;
    constexpr int kSteps = 32;
    // weight[s][k]: the sample k − kHalf frames from the interval's start, at fraction s/kSteps.
    static const std::vector<std::vector<double>> weight = [] {
        std::vector<std::vector<double>> w(kSteps, std::vector<double>(2 * kHalf + 1));
        for (int s = 1; s < kSteps; ++s) {
            for (long k = 0; k <= 2 * kHalf; ++k) {
                const double d = double(s) / kSteps - double(k - kHalf);
                const double r = (d + kHalf + 1) / (2.0 * (kHalf + 1));
                const double window = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * r) +
                                      0.08 * std::cos(4 * std::numbers::pi * r);
                w[size_t(s)][size_t(k)] =
                    window * std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
            }
        }
        return w;
    }();
    double samplePeak = 0;
    for (float v : x)
        samplePeak = std::max(samplePeak, double(std::abs(v)));
    double peak = samplePeak;
    const auto n = long(x.size());
    for (long at = -1; at < n; ++at) {
        const float left = at >= 0 ? std::abs(x[size_t(at)]) : 0.0f;
        const float right = at + 1 < n ? std::abs(x[size_t(at + 1)]) : 0.0f;
        if (std::max(left, right) < samplePeak * 0.35) continue;
        for (int s = 1; s < kSteps; ++s) {
            double sum = 0;
            for (long k = 0; k <= 2 * kHalf; ++k) {
                const long m = at + k - kHalf;
                if (m >= 0 && m < n) sum += x[size_t(m)] * weight[size_t(s)][size_t(k)];
            }
            peak = std::max(peak, std::abs(sum));
        }
    }
    return 20 * std::log10(peak);
}

}  // namespace corvaline::test
