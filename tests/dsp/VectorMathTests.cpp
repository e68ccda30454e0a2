// The batched exponentials and logarithms: close to the C library's, and a value's result never
// depends on where it sits in a batch (so a frame ticked alone and inside a stage agree).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/VectorMath.hpp"

using namespace corvaline;

TEST(VectorMath, BatchesAgreeWithSingleValuesAndTheCLibrary) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> exponent(-40, 8);
    std::uniform_real_distribution<double> decades(-30, 3);
    // Every run length up to 13 (whole registers, spare lanes, empty runs) at every offset.
    for (size_t length = 0; length <= 13; ++length) {
        for (int round = 0; round < 50; ++round) {
            std::vector<double> x(length), power(length), e(length), l(length);
            for (size_t i = 0; i < length; ++i) {
                x[i] = exponent(rng);
                power[i] = std::pow(10.0, decades(rng));
            }
            vector_math::exp(x.data(), e.data(), length);
            vector_math::log(power.data(), l.data(), length);
            for (size_t i = 0; i < length; ++i) {
                ASSERT_EQ(e[i], vector_math::exp(x[i])) << length << " " << i;
                ASSERT_EQ(l[i], vector_math::log(power[i])) << length << " " << i;
                ASSERT_NEAR(e[i] / std::exp(x[i]), 1.0, 1e-15);
                ASSERT_NEAR(l[i], std::log(power[i]), 1e-15 * std::max(1.0, std::abs(l[i])));
            }
        }
    }
    // In place, and values outside the fast range (taken by the library's slow path).
    std::vector<double> edge{0.0, -800.0, 800.0, -745.1, 1e-300, 710.0};
    std::vector<double> out = edge;
    vector_math::exp(out.data(), out.data(), out.size());
    for (size_t i = 0; i < edge.size(); ++i)
        EXPECT_EQ(out[i], std::exp(edge[i])) << edge[i];
    EXPECT_EQ(vector_math::exp(0.0), 1.0);
    EXPECT_EQ(vector_math::log(1.0), 0.0);
    EXPECT_EQ(vector_math::log(0.0), -std::numeric_limits<double>::infinity());
}

TEST(VectorMath, DecibelGainsAreExactlyOneAtZeroAndMatchTheSingleForm) {
    const std::vector<double> dB{0.0, -0.0, -6.0, 12.0, -60.0, 1e-12, 0.0};
    std::vector<double> gains(dB.size());
    vector_math::decibelGains(dB.data(), gains.data(), dB.size());
    for (size_t i = 0; i < dB.size(); ++i) {
        if (dB[i] == 0) {
            EXPECT_EQ(gains[i], 1.0);
        } else {
            EXPECT_EQ(gains[i], dsp_detail::dbToGain(dB[i]));
            EXPECT_NEAR(gains[i] / std::pow(10.0, dB[i] / 20), 1.0, 1e-14);
        }
    }
}
