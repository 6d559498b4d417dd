#pragma once

// When to try the broker again, and what to tell about it: pure, with the
// time and the random seed as arguments, for the I/O loop.
//
// Pauses: a broker that is merely away (nothing accepts the connection) is
// tried every 20 to 200 ms for the first 10 s of an outage, so a restart
// costs a fraction of a second; after that, and from the start for an
// attempt that something answered and failed (TLS, a closed handshake, a
// refused login) or for a name that does not resolve, the pause doubles up
// to 30 s. A connection that carried traffic or held for 5 s is tried again
// at once when lost; shorter, silent ones in a row (a broker that takes the
// connection and drops it) grow the pause from the third on. Every pause
// has a quarter of jitter below its length.
//
// Pacing: every attempt that reaches the broker spends a token of a bucket
// of 5 that refills one every 8 s, and none is made without one: whatever
// the pattern, at most one connection per 8 s in the long run.
//
// Records: a trouble begins with the first failure or loss after a
// connection that held for a minute. Within it each reason (its code and
// text, a failure apart from a loss) is told once,
// the connection's return once after each told reason, and while it goes
// on a reminder with the counts at most every 5 minutes; when a connection
// has held for a minute again, one record sums up what was not told.
//
// Concurrency: none; the I/O thread owns it.

#include "mqtt-wrapper/core/events.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::mosquitto {

class RetryPolicy {
public:
    using clock = std::chrono::steady_clock;
    enum class Tell { nothing, reason, reminder };
    struct Step {
        clock::duration pause;
        Tell tell = Tell::nothing;
        unsigned long count = 0;  // for a reminder: attempts failed in this outage, or connections lost
        clock::duration span{};   // over this time
    };
    struct Up {
        clock::duration outage{};  // zero when none was missed
        bool tell = false;
    };
    struct Summary {
        unsigned long losses = 0;  // zero: nothing to tell
        clock::duration span{};    // from the first loss to the last connection
    };

    static constexpr auto fast_phase = std::chrono::seconds(10);
    static constexpr auto ceiling = std::chrono::seconds(30);
    static constexpr auto reminder_every = std::chrono::minutes(5);
    static constexpr auto stable_connection = std::chrono::seconds(5);
    static constexpr auto connection_interval = std::chrono::seconds(8);
    static constexpr unsigned connection_burst = 5;
    static constexpr auto settled_after = std::chrono::minutes(1);

    explicit RetryPolicy(std::uint32_t seed) : random_(seed ? seed : 1) {}

    // An attempt failed for this reason: unreachable (nothing accepted the
    // connection: a broker restarting or not up yet), unresolved, refused
    // (the broker refused the login: not before 5 s), or anything else that
    // answered and failed the attempt.
    Step failed(clock::time_point now, const Closed& why);
    // A connection is up.
    Up connected(clock::time_point now);
    // The connection that came up at `since` is gone; served: it carried
    // something besides the CONNACK.
    Step lost(clock::time_point now, clock::time_point since, const Closed& why, bool served);
    // While connected: when settled() has something to say (max: never).
    clock::time_point settles_at() const;
    // The connection has held long enough: the trouble is over.
    Summary settled(clock::time_point now);

private:
    clock::duration jittered(clock::duration d);
    void begin_trouble(clock::time_point now);
    struct Reason {
        bool lost;  // a connection's loss, apart from a failure of the same code and text
        CloseCode code;
        std::string text;
    };
    Tell tell(clock::time_point now, Reason reason);
    clock::duration credit_at(clock::time_point now) const;
    void spend(clock::time_point now);
    clock::duration paced(clock::time_point now, clock::duration pause) const;

    std::uint32_t random_;
    bool down_ = false;  // no connection since outage_start_
    clock::time_point outage_start_{};
    clock::time_point up_since_{};
    unsigned fast_ = 0;           // failures in a row in the fast phase
    unsigned slow_ = 0;           // failures in a row that grow the pause
    unsigned flaps_ = 0;          // short connections in a row, with no outage between
    unsigned long attempts_ = 0;  // since the outage began
    // The bucket, as time credited: an attempt needs connection_interval.
    clock::duration credit_ = connection_interval * connection_burst;
    clock::time_point credited_{};
    // The trouble being told.
    bool trouble_ = false;
    clock::time_point trouble_start_{};
    std::vector<Reason> told_reasons_;
    clock::time_point told_{};
    bool owe_up_ = true;  // a told failure or loss: its end is told too
    unsigned long losses_ = 0;
    unsigned long untold_ = 0;
};

}  // namespace quorvel::mosquitto
