#include "registry.h"

#include <gtest/gtest.h>

#include <climits>

using quorvel::is_stale;

TEST(Staleness, StaleOnlyWhenMoreThanNineHundredSecondsBehind) {
    EXPECT_FALSE(is_stale(1000, 1900));
    EXPECT_TRUE(is_stale(1000, 1901));
    EXPECT_FALSE(is_stale(2000, 1000));  // in the future
    EXPECT_TRUE(is_stale(0, 1765000000));
    EXPECT_FALSE(is_stale(-5, 895));
    EXPECT_TRUE(is_stale(-5, 896));
}

TEST(Staleness, NeverOverflowsAtTheEndsOfLong) {
    EXPECT_FALSE(is_stale(LONG_MAX, LONG_MAX));
    EXPECT_FALSE(is_stale(LONG_MAX - 900, LONG_MAX));
    EXPECT_TRUE(is_stale(LONG_MAX - 901, LONG_MAX));
    EXPECT_FALSE(is_stale(LONG_MAX, LONG_MIN));
    EXPECT_TRUE(is_stale(LONG_MIN, LONG_MAX));
    EXPECT_TRUE(is_stale(LONG_MIN, LONG_MIN + 901));
    EXPECT_FALSE(is_stale(LONG_MIN, LONG_MIN + 900));
}
