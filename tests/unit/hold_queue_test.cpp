#include "mqtt-wrapper/io/hold_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace mq = quorvel::mosquitto;
using mq::HoldQueue;
using mq::MqttMessage;

namespace {

// The key of "key|value" is "key"; a payload without '|' has none.
bool key_before_bar(const MqttMessage& m, std::string& key) {
    const std::string text(m.payload.begin(), m.payload.end());
    const auto bar = text.find('|');
    if (bar == std::string::npos) return false;
    key = text.substr(0, bar);
    return true;
}

MqttMessage message(const std::string& topic, const std::string& payload) {
    return {topic, std::vector<unsigned char>(payload.begin(), payload.end())};
}

// Pushes "topic payload" items one by one; returns what Receive would get, as
// "topic payload", and how many were replaced.
std::pair<std::vector<std::string>, std::size_t> run(HoldQueue& q, const std::vector<std::string>& items) {
    std::size_t replaced = 0;
    for (const auto& item : items) {
        const auto space = item.find(' ');
        std::vector<MqttMessage> one{message(item.substr(0, space), item.substr(space + 1))};
        replaced += q.push(one).replaced;
    }
    std::vector<std::string> out;
    MqttMessage m;
    while (q.take("#", m).found)
        out.push_back(m.topic + " " + std::string(m.payload.begin(), m.payload.end()));
    return {out, replaced};
}

}  // namespace

TEST(HoldQueue, FromHalfTheBoundANewerMessageReplacesTheLatestHeldOneOfTheSameTopicAndKey) {
    struct Case {
        std::vector<std::string> pushed;
        std::vector<std::string> taken;
        std::size_t replaced;
    } cases[] = {
        // Below half of the bound (4 messages) every message stays, and
        // only a message that came at or above it can be replaced.
        {{"/s/a k|1", "/s/a k|2", "/s/a k|3", "/s/a k|4"}, {"/s/a k|1", "/s/a k|2", "/s/a k|4"}, 1},
        // The newer one goes last: nothing it replaced overtakes another.
        {{"/s/x 1", "/s/x 2", "/s/a k|1", "/s/b k|1", "/s/a k|2"},
         {"/s/x 1", "/s/x 2", "/s/b k|1", "/s/a k|2"},
         1},
        // Another key, another topic, no key, or a topic without a key
        // function: kept.
        {{"/s/x 1", "/s/x 2", "/s/a k|1", "/s/a j|2"}, {"/s/x 1", "/s/x 2", "/s/a k|1", "/s/a j|2"}, 0},
        {{"/s/x 1", "/s/x 2", "/s/a k|1", "/s/b k|2"}, {"/s/x 1", "/s/x 2", "/s/a k|1", "/s/b k|2"}, 0},
        {{"/s/x 1", "/s/x 2", "/s/a 1", "/s/a 2"}, {"/s/x 1", "/s/x 2", "/s/a 1", "/s/a 2"}, 0},
        {{"/o/x 1", "/o/x 2", "/o/a k|1", "/o/a k|2"}, {"/o/x 1", "/o/x 2", "/o/a k|1", "/o/a k|2"}, 0},
        // Beyond the bound (a reader told to read regardless) the oldest go.
        {{"/s/1 1", "/s/2 2", "/s/3 3", "/s/4 4", "/s/5 5"}, {"/s/2 2", "/s/3 3", "/s/4 4", "/s/5 5"}, 0},
    };
    for (const auto& c : cases) {
        HoldQueue q(4, 1 << 20);
        q.supersede("/s/#", &key_before_bar);
        const auto [taken, replaced] = run(q, c.pushed);
        EXPECT_EQ(taken, c.taken) << c.pushed.back();
        EXPECT_EQ(replaced, c.replaced) << c.pushed.back();
    }
    // Half of the bytes counts as well: three of 7 bytes pass half of 32.
    HoldQueue q(100, 32);
    q.supersede("/s/#", &key_before_bar);
    EXPECT_EQ(run(q, {"/s/a k|1", "/s/a k|2", "/s/a k|3", "/s/a k|4", "/s/a k|5"}).first,
              (std::vector<std::string>{"/s/a k|1", "/s/a k|2", "/s/a k|3", "/s/a k|5"}));
}

TEST(HoldQueue, RoomCountsMessagesAndBytesAndATakeWakesAWaitingReader) {
    HoldQueue q(3, 100);
    auto room = q.room();
    EXPECT_EQ(room.messages, 3u);
    EXPECT_EQ(room.bytes, 100u);
    EXPECT_FALSE(room.holding);
    std::vector<MqttMessage> two{message("/t", "12345678"), message("/t", "1")};
    q.push(two);
    room = q.room();
    EXPECT_EQ(room.messages, 1u);
    EXPECT_EQ(room.bytes, 100u - 13u);  // topics and payloads
    EXPECT_TRUE(room.holding);
    q.reader_waits();
    MqttMessage m;
    auto taken = q.take("/t", m);
    ASSERT_TRUE(taken.found);
    EXPECT_TRUE(taken.wake_reader);
    EXPECT_TRUE(taken.more);
    taken = q.take("/t", m);
    ASSERT_TRUE(taken.found);
    EXPECT_FALSE(taken.wake_reader);  // told once
    EXPECT_FALSE(taken.more);
}
