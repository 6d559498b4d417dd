// Facts of the 32-bit target: long is 32 bits wide there, time_t 64 (built
// with _TIME_BITS=64).
#include "registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

TEST(Target32, LongIsThirtyTwoBitsAndTimeSixtyFour) {
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(std::time_t), 8u);
}

TEST(Target32, StalenessNearTheLargestThirtyTwoBitTime) {
    const long last = INT32_MAX;  // 2038-01-19T03:14:07Z
    EXPECT_FALSE(quorvel::is_stale(last - 900, last));
    EXPECT_TRUE(quorvel::is_stale(last - 901, last));
    EXPECT_FALSE(quorvel::is_stale(last, last - 10));  // ts + 900 would not fit
    EXPECT_TRUE(quorvel::is_stale(INT32_MIN, last));
}
