#include "mqtt-wrapper/core/topic_rules.h"

#include <gtest/gtest.h>

#include <string>

using quorvel::mosquitto::topic_filter_problem;
using quorvel::mosquitto::topic_matches;
using quorvel::mosquitto::topic_name_problem;

TEST(TopicMatch, FilterTable) {
    struct Case {
        const char* filter;
        const char* topic;
        bool match;
    } cases[] = {
        {"/#", "/qv/bridge/thirdparty_data/io1", true},
        {"/#", "/", true},
        {"/#", "qv/bridge", false},
        {"#", "a/b/c", true},
        {"a/#", "a", true},
        {"a/#", "a/b/c", true},
        {"a/#", "ab", false},
        {"a/+", "a/b", true},
        {"a/+", "a/", true},
        {"a/+", "a/b/c", false},
        {"a/+", "a", false},
        {"+/+", "/x", true},
        {"+", "/x", false},
        {"a/+/c", "a/b/c", true},
        {"a/+/c", "a/b/d", false},
        {"/qv/bridge/configuration", "/qv/bridge/configuration", true},
        {"/qv/bridge/configuration", "/qv/bridge/configuration/x", false},
        {"/qv/bridge/configuration", "/qv/bridge/configuratio", false},
        {"a/b", "a/b/", false},
        {"#", "$SYS/broker", false},
        {"+/broker", "$SYS/broker", false},
        {"$SYS/#", "$SYS/broker", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(topic_matches(c.filter, c.topic), c.match) << c.filter << " vs " << c.topic;
    }
}

TEST(TopicName, RefusesWhatTheBrokerDisconnectsFor) {
    const std::string refused[] = {
        "",
        "a/+/b",
        "a/#",
        "a/b+c",
        std::string("a/\0b", 4),
        "a/\xC3\x28",          // broken sequence
        "a/\xC0\xAF",          // overlong
        "a/\xED\xA0\x80",      // surrogate
        "a/\xF4\x90\x80\x80",  // above U+10FFFF
        "a/\nb",
        "a/\tb",
        "a/\x7F",
        "a/\xC2\x85",      // U+0085
        "a/\xEF\xBF\xBE",  // U+FFFE
        "a/\xEF\xB7\x90",  // U+FDD0
        "a/\xC3",          // truncated
        std::string(65536, 'a'),
    };
    for (const auto& t : refused) EXPECT_NE(topic_name_problem(t), "") << t.size();
}

TEST(TopicName, AcceptsOrdinaryTopics) {
    const std::string accepted[] = {
        "/devices/io1/controls/temp", "/devices/Котёл/controls/t/meta/error", "a b/c$d", "/",
        std::string(65535, 'a'),
        "a/\xF0\x9F\x98\x80",  // emoji
    };
    for (const auto& t : accepted) EXPECT_EQ(topic_name_problem(t), "") << t.substr(0, 40);
}

TEST(TopicName, ProblemTextSaysWhy) {
    EXPECT_EQ(topic_name_problem("a/#"), "contains a wildcard (+ or #)");
    EXPECT_EQ(topic_name_problem(std::string("a\0", 2)), "contains a zero byte");
    EXPECT_EQ(topic_name_problem(""), "is empty");
}

TEST(TopicFilter, WildcardsOnlyAsWholeLevels) {
    for (const char* ok : {"#", "/#", "a/+/b", "+", "+/+", "/qv/bridge/thirdparty_data/+", "a/b"}) {
        EXPECT_EQ(topic_filter_problem(ok), "") << ok;
    }
    for (const char* bad : {"", "a/#/b", "a/b#", "a/b+", "a+/b", "#/a", "a/\nb"}) {
        EXPECT_NE(topic_filter_problem(bad), "") << bad;
    }
}

TEST(TopicName, LevelLimitAndPrintableEdgesAgreeOnBothPaths) {
    // Plain ASCII takes a shortcut; the same edges with one non-ASCII
    // character take the full check, and both must give the same verdict.
    auto levels = [](int n, const std::string& tail) {
        std::string t = tail;
        for (int i = 1; i < n; ++i) t += "/a";
        return t;
    };
    for (const std::string tail : {"a", "\xC3\xA9"}) {
        EXPECT_EQ(topic_name_problem(levels(200, tail)), "") << tail;
        EXPECT_EQ(topic_name_problem(levels(201, tail)), "has more than 200 levels") << tail;
        EXPECT_EQ(topic_name_problem(tail + " ~"), "") << tail;
        EXPECT_EQ(topic_name_problem(tail + "\x1F"), "contains a control character") << tail;
        EXPECT_EQ(topic_name_problem(tail + "\x7F"), "contains a control character") << tail;
        EXPECT_EQ(topic_name_problem(tail + "+"), "contains a wildcard (+ or #)") << tail;
    }
}
