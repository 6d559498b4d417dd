#include "mqtt-wrapper/core/retry_policy.h"
#include "mqtt-wrapper/common/durations.h"

#include <gtest/gtest.h>

#include <string>

using quorvel::mosquitto::CloseCode;
using quorvel::mosquitto::Closed;
using quorvel::mosquitto::describe_duration;
using quorvel::mosquitto::RetryPolicy;
using namespace std::chrono_literals;

namespace {

const Closed closed_by_broker{CloseCode::closed_by_peer, "closed by the broker"};
const Closed connection_refused{CloseCode::unreachable, "Connection refused"};
const Closed hostname_mismatch{CloseCode::tls, "TLS: hostname mismatch"};

// Attempts that fail the same way for `span`, each after the pause the
// policy asked for: how many there were, and the longest pause.
struct Run {
    int attempts = 0;
    RetryPolicy::clock::duration longest{};
};

Run fail_for(RetryPolicy& policy, RetryPolicy::clock::time_point& now, CloseCode kind,
             RetryPolicy::clock::duration span) {
    Run run;
    const auto end = now + span;
    while (now < end) {
        const auto step = policy.failed(now, {kind, "the same reason"});
        ++run.attempts;
        run.longest = std::max(run.longest, step.pause);
        now += step.pause;
    }
    return run;
}

}  // namespace

TEST(RetryPolicy, PausesByKindOfFailure) {
    struct Case {
        CloseCode kind;
        int most_attempts_in_a_minute;
        RetryPolicy::clock::duration first_pause_at_least, first_pause_at_most;
    } const cases[] = {
        // A restart: tried every 20 to 200 ms for 10 s, then less and less.
        {CloseCode::unreachable, 80, 15ms, 20ms},
        // A name that does not resolve, a wrong certificate, a server that accepts and drops.
        {CloseCode::unresolved, 12, 180ms, 250ms},
        {CloseCode::tls, 12, 180ms, 250ms},
        {CloseCode::closed_by_peer, 12, 180ms, 250ms},
        {CloseCode::protocol_violation, 12, 180ms, 250ms},
        {CloseCode::refused, 12, 5s, 5s},
    };
    for (const auto& c : cases) {
        RetryPolicy::clock::duration fast[2][4]{};
        for (std::uint32_t seed : {1u, 7u, 123456u}) {
            RetryPolicy policy(seed);
            RetryPolicy::clock::time_point now{};
            const auto first = policy.failed(now, {c.kind, "x"}).pause;
            EXPECT_GE(first, c.first_pause_at_least);
            EXPECT_LE(first, c.first_pause_at_most);
            now += first;
            for (auto& pause : fast[seed == 7u]) now += pause = policy.failed(now, {c.kind, "x"}).pause;
            const auto minute = fail_for(policy, now, c.kind, 60s - (now - RetryPolicy::clock::time_point{}));
            EXPECT_LE(minute.attempts + 5, c.most_attempts_in_a_minute) << static_cast<int>(c.kind);
            const auto hour = fail_for(policy, now, c.kind, 1h);
            EXPECT_LE(hour.longest, 30s);  // jitter only shortens
            EXPECT_GE(hour.longest, 22s);
        }
        if (c.kind != CloseCode::refused) {
            EXPECT_NE(fast[0][1], fast[1][1]) << static_cast<int>(c.kind);
        }
    }
}

TEST(RetryPolicy, ARestartIsRetriedFastAndAConnectionThatHeldStartsAgain) {
    RetryPolicy policy(1);
    RetryPolicy::clock::time_point now{};
    EXPECT_EQ(policy.connected(now).outage, 0s);
    now += 1h;
    EXPECT_LE(policy.lost(now, now - 1h, closed_by_broker, false).pause, 20ms);
    const auto outage = fail_for(policy, now, CloseCode::unreachable, 9s);
    EXPECT_LE(outage.longest, 200ms);
    const auto down = policy.connected(now).outage;
    EXPECT_GE(down, 9s);
    EXPECT_LT(down, 9300ms);
    // Up and gone at once, again and again: the pause grows from the third,
    // unless the connection carried traffic; the bucket paces all of them.
    const auto flap = [&](bool served) {
        const auto pause = policy.lost(now + 1s, now, closed_by_broker, served).pause;
        now += 1s + pause;
        policy.connected(now);
        return pause;
    };
    EXPECT_LE(flap(false), 20ms);
    EXPECT_LE(flap(false), 20ms);
    RetryPolicy::clock::duration last{};
    for (int i = 0; i < 5; ++i) {
        const auto pause = flap(false);
        EXPECT_GE(pause, last);
        last = pause;
    }
    EXPECT_GE(last, 3s);
    // A broker that was away between two short connections restarted.
    now += 1min;
    policy.failed(now, connection_refused);
    EXPECT_LE(flap(false), 20ms);
    now += 1min;
    EXPECT_LE(flap(true), 20ms);
}

// Connections, whatever makes them end, at most one per 8 s in the long
// run after a burst of 5: (connection held, failed attempts between).
TEST(RetryPolicy, ConnectionsArePacedWhateverThePattern) {
    struct Case {
        const char* pattern;
        RetryPolicy::clock::duration held;
        bool served;
        CloseCode between;
        int most_in_two_minutes;
        RetryPolicy::clock::duration longest_pause_at_most;
    } const cases[] = {
        {"a broker that keeps each connection 5.05 s", 5050ms, true, CloseCode::unreachable, 20, 8s},
        {"a link that drops after 1 s", 1s, true, CloseCode::unreachable, 20, 8s},
        {"taken and dropped, refused between", 5ms, false, CloseCode::unreachable, 20, 8s},
        {"taken and dropped, TLS failing between", 5ms, false, CloseCode::tls, 8, 30s},
    };
    for (const auto& c : cases) {
        RetryPolicy policy(3);
        RetryPolicy::clock::time_point now{};
        const auto end = now + 120s;
        int connections = 0;
        RetryPolicy::clock::duration longest{};
        while (now < end) {
            policy.connected(now);
            ++connections;
            now += c.held;
            auto pause = policy.lost(now, now - c.held, closed_by_broker, c.served).pause;
            longest = std::max(longest, pause);
            now += pause;
            pause = policy.failed(now, {c.between, "Connection refused"}).pause;
            now += pause;
        }
        EXPECT_LE(connections, c.most_in_two_minutes) << c.pattern;
        EXPECT_LE(longest, c.longest_pause_at_most) << c.pattern;
    }
}

TEST(RetryPolicy, ATroubleIsToldOnceWithRemindersAndASummary) {
    RetryPolicy policy(1);
    RetryPolicy::clock::time_point now{};
    using Tell = RetryPolicy::Tell;
    EXPECT_TRUE(policy.connected(now).tell);
    EXPECT_EQ(policy.failed(now, connection_refused).tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 1s, connection_refused).tell, Tell::nothing);
    EXPECT_EQ(policy.failed(now + 2s, hostname_mismatch).tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 3s, connection_refused).tell, Tell::nothing);
    const auto reminder = policy.failed(now + 302s, hostname_mismatch);
    EXPECT_EQ(reminder.tell, Tell::reminder);
    EXPECT_EQ(reminder.count, 5u);
    EXPECT_EQ(reminder.span, 302s);
    EXPECT_EQ(policy.failed(now + 303s, hostname_mismatch).tell, Tell::nothing);
    // Back, and lost again and again, alternating with failures: each reason
    // once, the first return, then silence until a reminder.
    now += 400s;
    EXPECT_TRUE(policy.connected(now).tell);
    EXPECT_EQ(policy.lost(now + 5s, now, closed_by_broker, true).tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 6s, hostname_mismatch).tell, Tell::nothing);
    EXPECT_TRUE(policy.connected(now + 7s).tell);  // the loss was told
    for (int i = 1; i < 38; ++i) {
        const auto at = now + i * 8s;
        EXPECT_EQ(policy.lost(at + 5s, at, closed_by_broker, true).tell, Tell::nothing) << i;
        EXPECT_FALSE(policy.connected(at + 8s).tell) << i;
    }
    const auto again = policy.lost(now + 320s, now + 317s, closed_by_broker, true);
    EXPECT_EQ(again.tell, Tell::reminder);
    EXPECT_EQ(again.count, 39u);
    EXPECT_TRUE(policy.connected(now + 321s).tell);
    // Held for a minute: the untold losses summed up once, and a new trouble
    // told from the start.
    EXPECT_EQ(policy.settles_at(), now + 381s);
    EXPECT_EQ(policy.settled(now + 380s).losses, 0u);
    const auto summary = policy.settled(now + 381s);
    EXPECT_EQ(summary.losses, 39u);
    EXPECT_EQ(summary.span, 721s);  // since the outage that began it
    EXPECT_EQ(policy.settles_at(), RetryPolicy::clock::time_point::max());
    EXPECT_EQ(policy.lost(now + 500s, now + 321s, closed_by_broker, true).tell, Tell::reason);
}

TEST(RetryPolicy, AReasonIsItsCodeAndTextAndALossIsApartFromAFailure) {
    RetryPolicy policy(1);
    RetryPolicy::clock::time_point now{};
    using Tell = RetryPolicy::Tell;
    EXPECT_EQ(policy.failed(now, hostname_mismatch).tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 1s, {CloseCode::tls, "TLS: hostname mismatch"}).tell, Tell::nothing);
    EXPECT_EQ(policy.failed(now + 2s, {CloseCode::tls, "TLS handshake timed out"}).tell, Tell::reason);
    EXPECT_EQ(policy.failed(now + 3s, {CloseCode::io, "TLS: hostname mismatch"}).tell, Tell::reason);
    policy.connected(now + 4s);
    EXPECT_EQ(policy.lost(now + 5s, now + 4s, hostname_mismatch, true).tell, Tell::reason);
    policy.connected(now + 6s);
    EXPECT_EQ(policy.lost(now + 7s, now + 6s, hostname_mismatch, true).tell, Tell::nothing);
}

TEST(RetryPolicy, DurationsAsRecordsShowThem) {
    const std::pair<RetryPolicy::clock::duration, std::string> cases[] = {
        {0ms, "0.0 s"}, {4249ms, "4.2 s"}, {59999ms, "60.0 s"}, {192s, "3 min 12 s"}, {7500s, "2 h 5 min"},
    };
    for (const auto& [d, text] : cases) EXPECT_EQ(describe_duration(d), text);
}
