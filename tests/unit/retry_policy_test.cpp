#include "mqtt-wrapper/retry_policy.h"

#include <gtest/gtest.h>

#include <string>

using quorvel::mosquitto::describe_duration;
using quorvel::mosquitto::RetryPolicy;
using namespace std::chrono_literals;
using Failure = RetryPolicy::Failure;

namespace {

// Attempts that fail the same way for `span`, each after the pause the
// policy asked for: how many there were, and the longest pause.
struct Run {
    int attempts = 0;
    RetryPolicy::clock::duration longest{};
};

Run fail_for(RetryPolicy& policy, RetryPolicy::clock::time_point& now, Failure kind,
             RetryPolicy::clock::duration span) {
    Run run;
    const auto end = now + span;
    while (now < end) {
        const auto step = policy.failed(now, kind, "the same reason");
        ++run.attempts;
        run.longest = std::max(run.longest, step.pause);
        now += step.pause;
    }
    return run;
}

}  // namespace

TEST(RetryPolicy, PausesByKindOfFailure) {
    struct Case {
        Failure kind;
        int most_attempts_in_a_minute;
        RetryPolicy::clock::duration first_pause_at_least, first_pause_at_most;
    } const cases[] = {
        // A restart: tried every 20 to 200 ms for 10 s, then less and less.
        {Failure::unreachable, 80, 20ms, 20ms},
        // A wrong certificate, a server that accepts and drops.
        {Failure::rejected, 20, 200ms, 300ms},
        {Failure::refused, 12, 5s, 5s},
    };
    for (const auto& c : cases) {
        for (std::uint32_t seed : {1u, 7u, 123456u}) {
            RetryPolicy policy(seed);
            RetryPolicy::clock::time_point now{};
            const auto first = policy.failed(now, c.kind, "x").pause;
            EXPECT_GE(first, c.first_pause_at_least);
            EXPECT_LE(first, c.first_pause_at_most);
            now += first;
            const auto minute = fail_for(policy, now, c.kind, 60s - first);
            EXPECT_LE(minute.attempts + 1, c.most_attempts_in_a_minute) << static_cast<int>(c.kind);
            const auto hour = fail_for(policy, now, c.kind, 1h);
            EXPECT_LE(hour.longest, 36s);  // 30 s and its jitter
            EXPECT_GE(hour.longest, 24s);
        }
    }
}

TEST(RetryPolicy, ARestartIsRetriedFastAndAConnectionThatHeldStartsAgain) {
    RetryPolicy policy(1);
    RetryPolicy::clock::time_point now{};
    EXPECT_EQ(policy.connected(now), 0s);
    now += 1h;
    EXPECT_EQ(policy.lost(now, now - 1h), 20ms);
    const auto outage = fail_for(policy, now, Failure::unreachable, 9s);
    EXPECT_LE(outage.longest, 200ms);
    const auto down = policy.connected(now);
    EXPECT_GE(down, 9s);
    EXPECT_LT(down, 9300ms);
    // Up and gone at once, again and again: the pause grows from the third.
    const auto flap = [&] {
        const auto pause = policy.lost(now + 1s, now);
        now += 1s + pause;
        policy.connected(now);
        return pause;
    };
    EXPECT_EQ(flap(), 20ms);
    EXPECT_EQ(flap(), 20ms);
    RetryPolicy::clock::duration last{};
    for (int i = 0; i < 5; ++i) {
        const auto pause = flap();
        EXPECT_GT(pause, last);
        last = pause;
    }
    EXPECT_GE(last, 3s);
    // A broker that was away between two short connections restarted.
    policy.failed(now, Failure::unreachable, "Connection refused");
    EXPECT_EQ(flap(), 20ms);
}

TEST(RetryPolicy, ToldOncePerReasonWithARemindEveryFiveMinutes) {
    RetryPolicy policy(1);
    RetryPolicy::clock::time_point now{};
    using Tell = RetryPolicy::Tell;
    EXPECT_EQ(policy.failed(now, Failure::unreachable, "Connection refused").tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 1s, Failure::unreachable, "Connection refused").tell, Tell::nothing);
    EXPECT_EQ(policy.failed(now + 2s, Failure::rejected, "TLS: hostname mismatch").tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 3s, Failure::rejected, "TLS: hostname mismatch").tell, Tell::nothing);
    const auto reminder = policy.failed(now + 302s, Failure::rejected, "TLS: hostname mismatch");
    EXPECT_EQ(reminder.tell, Tell::reminder);
    EXPECT_EQ(reminder.attempts, 5u);
    EXPECT_EQ(reminder.outage, 302s);
    EXPECT_EQ(policy.failed(now + 303s, Failure::rejected, "TLS: hostname mismatch").tell, Tell::nothing);
    // A new outage tells its reason again.
    policy.connected(now + 400s);
    policy.lost(now + 500s, now + 400s);
    EXPECT_EQ(policy.failed(now + 501s, Failure::rejected, "TLS: hostname mismatch").tell, Tell::reason);
}

TEST(RetryPolicy, DurationsAsRecordsShowThem) {
    const std::pair<RetryPolicy::clock::duration, std::string> cases[] = {
        {0ms, "0.0 s"}, {4249ms, "4.2 s"}, {59999ms, "60.0 s"}, {192s, "3 min 12 s"}, {7500s, "2 h 5 min"},
    };
    for (const auto& [d, text] : cases) EXPECT_EQ(describe_duration(d), text);
}
