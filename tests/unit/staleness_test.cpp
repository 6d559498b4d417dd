#include "registry.h"

#include <gtest/gtest.h>

#include <cstdint>

using quorvel::is_stale;

TEST(Staleness, StaleOnlyWhenMoreThanNineHundredSecondsBehind) {
    EXPECT_FALSE(is_stale(1000, 1900));
    EXPECT_TRUE(is_stale(1000, 1901));
    EXPECT_FALSE(is_stale(2000, 1000));  // in the future
    EXPECT_TRUE(is_stale(0, 1765000000));
    EXPECT_FALSE(is_stale(-5, 895));
    EXPECT_TRUE(is_stale(-5, 896));
}

TEST(Staleness, NeverOverflowsAtTheEndsOfTheRange) {
    EXPECT_FALSE(is_stale(INT64_MAX, INT64_MAX));
    EXPECT_FALSE(is_stale(INT64_MAX - 900, INT64_MAX));
    EXPECT_TRUE(is_stale(INT64_MAX - 901, INT64_MAX));
    EXPECT_FALSE(is_stale(INT64_MAX, INT64_MIN));
    EXPECT_TRUE(is_stale(INT64_MIN, INT64_MAX));
    EXPECT_TRUE(is_stale(INT64_MIN, INT64_MIN + 901));
    EXPECT_FALSE(is_stale(INT64_MIN, INT64_MIN + 900));
}
