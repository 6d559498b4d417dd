// Facts of the 32-bit target: long and time_t are 32 bits wide there.
#include "registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

TEST(Target32, LongIsThirtyTwoBits) {
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(std::time_t), 4u);
}

TEST(Target32, StalenessNearTheLargestThirtyTwoBitTime) {
    const long last = INT32_MAX;  // 2038-01-19T03:14:07Z
    EXPECT_FALSE(quorvel::is_stale(last - 900, last));
    EXPECT_TRUE(quorvel::is_stale(last - 901, last));
    EXPECT_FALSE(quorvel::is_stale(last, last - 10));  // ts + 900 would not fit
    EXPECT_TRUE(quorvel::is_stale(INT32_MIN, last));
}
