#include <gtest/gtest.h>

#include <cmath>

#include <set>
#include <thread>
#include <vector>

#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Progress.hpp"
#include "audiocore/platform/Uuid.hpp"

using namespace corvaline;

TEST(Uuid, UpperCaseAndUnique) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string id = newUuidString();
        ASSERT_EQ(id.size(), 36u);
        for (char c : id)
            EXPECT_TRUE(c == '-' || isdigit(c) || (c >= 'A' && c <= 'F')) << id;
        EXPECT_EQ(id[14], '4');  // random (version 4)
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Progress, RateLimitedMonotonicAndClamped) {
    std::vector<double> got;
    ProgressLimiter limiter([&](double f) { got.push_back(f); }, std::chrono::milliseconds(50));
    for (int i = 500; i < 1000; ++i)
        limiter.report(i / 1000.0);
    EXPECT_EQ(got.size(), 1u);  // a tight loop reports once
    EXPECT_EQ(got[0], 0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    limiter.report(0.0001);  // backwards: dropped
    EXPECT_EQ(got.size(), 1u);
    limiter.report(2.0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got.back(), 1.0);
    limiter.force(std::nan(""));  // NaN maps to 0, below the last: dropped
    EXPECT_EQ(got.size(), 2u);
    ProgressLimiter silent{ProgressCallback{}};
    silent.report(0.5);  // no callback: nothing happens
}

TEST(Cancellation, TokenStopsAndCarriesNoMessage) {
    std::stop_source source;
    EXPECT_NO_THROW(throwIfCancelled(source.get_token()));
    EXPECT_NO_THROW(throwIfCancelled(std::stop_token{}));
    source.request_stop();
    try {
        throwIfCancelled(source.get_token());
        FAIL();
    } catch (const Cancelled& c) {
        EXPECT_STREQ(c.what(), "");
    }
}
