#include "audiocore/restoration/SidonFeatureStitcher.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audiocore/model/AudioFailure.hpp"

using namespace corvaline;

namespace {

constexpr int64_t kRows = 499, kWidth = 1024;

// Row r holds base + r in every column but the last, which holds -(base + r).
std::vector<float> window(float base) {
    std::vector<float> values(size_t(kRows * kWidth));
    for (int64_t r = 0; r < kRows; ++r) {
        for (int64_t c = 0; c < kWidth; ++c) {
            values[size_t(r * kWidth + c)] = c + 1 == kWidth ? -(base + float(r)) : base + float(r);
        }
    }
    return values;
}

float at(const std::vector<float>& values, int64_t row, int64_t column = 0) {
    return values[size_t(row * kWidth + column)];
}

void expectFailure(SidonFeatureStitcher& stitcher, std::vector<float> values, int64_t start,
                   int64_t body, const char* message) {
    try {
        stitcher.merge(std::move(values), start, body);
        FAIL() << "accepted, expected: " << message;
    } catch (const AudioFailure& failure) {
        EXPECT_STREQ(failure.what(), message);
    }
}

}  // namespace

TEST(SidonFeatureStitcher, FirstWindowPassesThrough) {
    SidonFeatureStitcher stitcher;
    const auto first = window(1000);
    EXPECT_EQ(stitcher.merge(first, -1, 0), first);
    EXPECT_EQ(stitcher.previousStart, -1);
    EXPECT_EQ(stitcher.previousFeatures, first);
}

TEST(SidonFeatureStitcher, HoldsThenFadesThenTakesTheNewWindow) {
    // Careful mode at any rate: windows every 200 rows, body 100 rows into the window.
    SidonFeatureStitcher stitcher;
    stitcher.merge(window(1000), -1, 0);
    const int64_t start = 199, body = 299;
    const auto merged = stitcher.merge(window(5000), start, body);
    for (int64_t j = 0; j < kRows; ++j) {
        const int64_t e = start + j;
        const float previous = 1000.0f + float(e - (-1));  // same absolute row of window 1
        const float current = 5000.0f + float(j);
        float expected;
        if (e < body + 15) {
            expected = previous;
        } else if (e < body + 45) {
            const double h = double(e - (body + 15)) / 30.0;
            expected = float((1 - h) * previous + h * current);
        } else {
            expected = current;
        }
        ASSERT_NEAR(at(merged, j), expected, 1e-3) << "row " << j;
        ASSERT_NEAR(at(merged, j, kWidth - 1), -expected, 1e-3) << "row " << j;
    }
    // The fade is linear: first faded row is still the previous window, the midpoint halfway.
    EXPECT_FLOAT_EQ(at(merged, body + 15 - start), 1000.0f + float(body + 15 + 1));
    EXPECT_NEAR(at(merged, body + 30 - start),
                0.5f * (1000.0f + float(body + 31)) + 0.5f * (5000.0f + float(body + 30 - start)),
                1e-3);
    EXPECT_EQ(stitcher.previousStart, start);
    EXPECT_EQ(stitcher.previousFeatures, merged);

    // Rows the previous window never covered keep the new values, even before body + 15.
    const auto far = stitcher.merge(window(9000), start + 480, start + 490);
    for (int64_t j = 0; j < kRows; ++j) {
        const int64_t e = start + 480 + j;
        if (e - start <= 498) continue;
        ASSERT_EQ(at(far, j), 9000.0f + float(j)) << "row " << j;
    }
}

TEST(SidonFeatureStitcher, RefusesDisorderAndBadFeatures) {
    SidonFeatureStitcher stitcher;
    stitcher.merge(window(0), 100, 200);
    expectFailure(stitcher, window(1), 100, 300, "Sidon speech-feature windows are out of order.");
    expectFailure(stitcher, window(1), 50, 150, "Sidon speech-feature windows are out of order.");
    expectFailure(stitcher, std::vector<float>(size_t(kRows * kWidth - 1)), 300, 400,
                  "Sidon returned incompatible speech features.");
    auto poisoned = window(1);
    poisoned[12345] = std::numeric_limits<float>::quiet_NaN();
    expectFailure(stitcher, poisoned, 300, 400, "Sidon returned incompatible speech features.");
    poisoned[12345] = -std::numeric_limits<float>::infinity();
    expectFailure(stitcher, poisoned, 300, 400, "Sidon returned incompatible speech features.");
    // A refused window leaves the state as it was.
    EXPECT_EQ(stitcher.previousStart, 100);
    EXPECT_EQ(stitcher.previousFeatures, window(0));
    // Bad first windows are refused too.
    SidonFeatureStitcher fresh;
    expectFailure(fresh, {}, 0, 0, "Sidon returned incompatible speech features.");
    EXPECT_TRUE(fresh.previousFeatures.empty());
}
