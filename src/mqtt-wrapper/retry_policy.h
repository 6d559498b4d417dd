#pragma once

// When to try the broker again, and what to tell about it: pure, with the
// time and the random seed as arguments, for the I/O loop.
//
// Pauses: a broker that is merely away (nothing accepts the connection) is
// tried every 20 to 200 ms for the first 10 s of an outage, so a restart
// costs a fraction of a second; after that, and from the start for an
// attempt that something answered and failed (TLS, a closed handshake, a
// name that does not resolve, a refused login), the pause doubles, with a
// fifth of jitter, up to 30 s. A connection that held for 5 s starts the
// schedule again. Shorter ones in a row, with nothing unreachable between
// them (a broker that takes the connection and drops it), grow the pause
// from the third on.
//
// Records: one when the reason changes, a reminder with the count of
// attempts while it stays the same (at most every 5 minutes), and the
// length of the outage when a connection comes back.
//
// Concurrency: none; the I/O thread owns it.

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvel::mosquitto {

class RetryPolicy {
public:
    using clock = std::chrono::steady_clock;
    enum class Failure {
        unreachable,  // nothing accepted the connection: a broker restarting or not up yet
        rejected,     // something answered and failed the attempt
        refused,      // the broker refused the login (CONNACK): not before 5 s
    };
    enum class Tell { nothing, reason, reminder };
    struct Step {
        clock::duration pause;
        Tell tell = Tell::nothing;
        unsigned long attempts = 0;  // failed since the outage began, for a reminder
        clock::duration outage{};    // so far, for a reminder
    };

    static constexpr auto fast_phase = std::chrono::seconds(10);
    static constexpr auto ceiling = std::chrono::seconds(30);
    static constexpr auto reminder_every = std::chrono::minutes(5);
    static constexpr auto stable_connection = std::chrono::seconds(5);

    explicit RetryPolicy(std::uint32_t seed) : random_(seed ? seed : 1) {}

    // An attempt failed for this reason.
    Step failed(clock::time_point now, Failure kind, const std::string& reason);
    // A connection is up: how long there was none (zero when none was missed).
    clock::duration connected(clock::time_point now);
    // The connection that came up at `since` is gone: the pause before the
    // first new attempt.
    clock::duration lost(clock::time_point now, clock::time_point since);

private:
    clock::duration jittered(clock::duration d);

    std::uint32_t random_;
    bool down_ = false;  // no connection since outage_start_
    clock::time_point outage_start_{};
    unsigned fast_ = 0;           // failures in a row in the fast phase
    unsigned slow_ = 0;           // failures in a row that grow the pause
    unsigned flaps_ = 0;          // short connections in a row, with no outage between
    unsigned long attempts_ = 0;  // since the outage began
    std::string reason_;          // last told
    clock::time_point told_{};
};

// "4.2 s", "3 min 12 s", "2 h 5 min".
std::string describe_duration(RetryPolicy::clock::duration d);

}  // namespace quorvel::mosquitto
