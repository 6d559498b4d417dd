#pragma once

// The common start of the tests of the service logic: a fresh client double,
// an empty registry with no announcements, the tree neither owed nor due to
// a connection, and the test clock at start_s; at
// the end the real clock is back and the registry lock must be free.

#include "fake_mqtt.h"
#include "registry.h"
#include "test_clock.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <cstdint>

class ServiceTest : public testing::Test {
protected:
    static constexpr std::int64_t start_s = 1765000000;

    void SetUp() override {
        fake_mqtt::reset();
        quorvel::abroad_ios.clear();
        quorvel::announcements.clear();
        quorvel::tree_sent_for(quorvel::connections_so_far());
        quorvel::take_owed_tree();
        test_clock::install(start_s);
    }
    void TearDown() override {
        test_clock::uninstall();
        EXPECT_TRUE(test_clock::registry_lock_is_free());
    }

    quorvel::mosquitto::MqttAsyncWrapper client{"test"};
};
