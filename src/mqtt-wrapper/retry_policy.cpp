#include "mqtt-wrapper/retry_policy.h"

#include <fmt/format.h>

#include <algorithm>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using clock = RetryPolicy::clock;

constexpr auto fast_first = 20ms;
constexpr auto fast_most = 200ms;
constexpr auto slow_first = 250ms;
constexpr auto refused_least = 5s;
constexpr unsigned free_flaps = 2;  // short connections in a row reconnected at once

// first * 2^(n - 1), at most the ceiling.
clock::duration doubled(clock::duration first, unsigned n) {
    clock::duration d = first;
    for (unsigned i = 1; i < n && d < RetryPolicy::ceiling; ++i) d *= 2;
    return std::min<clock::duration>(d, RetryPolicy::ceiling);
}

}  // namespace

clock::duration RetryPolicy::jittered(clock::duration d) {
    // xorshift32: enough to keep many controllers from retrying in step.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    const double factor = 0.8 + 0.4 * (random_ % 1001) / 1000.0;
    return std::chrono::duration_cast<clock::duration>(d * factor);
}

RetryPolicy::Step RetryPolicy::failed(clock::time_point now, Failure kind, const std::string& reason) {
    if (!down_) {
        down_ = true;
        outage_start_ = now;
        attempts_ = 0;
    }
    ++attempts_;
    Step step;
    if (reason != reason_) {
        reason_ = reason;
        told_ = now;
        step.tell = Tell::reason;
    } else if (now - told_ >= reminder_every) {
        told_ = now;
        step.tell = Tell::reminder;
    }
    step.attempts = attempts_;
    step.outage = now - outage_start_;

    if (kind == Failure::unreachable) flaps_ = 0;  // the broker was away: a restart, not a flap
    if (kind == Failure::unreachable && now - outage_start_ < fast_phase) {
        step.pause = std::min<clock::duration>(doubled(fast_first, ++fast_), fast_most);
        return step;
    }
    step.pause = jittered(doubled(slow_first, ++slow_));
    if (kind == Failure::refused) step.pause = std::max<clock::duration>(step.pause, refused_least);
    return step;
}

clock::duration RetryPolicy::connected(clock::time_point now) {
    const auto outage = down_ ? now - outage_start_ : clock::duration::zero();
    down_ = false;
    reason_.clear();
    return outage;
}

clock::duration RetryPolicy::lost(clock::time_point now, clock::time_point since) {
    down_ = true;
    outage_start_ = now;
    attempts_ = 0;
    fast_ = 0;
    if (now - since >= stable_connection) {
        slow_ = 0;
        flaps_ = 0;
        return fast_first;
    }
    // Up and gone at once, again and again, with no outage between: a broker
    // that takes the connection but will not keep it.
    if (++flaps_ <= free_flaps) return fast_first;
    return jittered(doubled(slow_first, ++slow_));
}

std::string describe_duration(clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    if (ms < 60'000) return fmt::format("{:.1f} s", static_cast<double>(ms) / 1000.0);
    const auto s = ms / 1000;
    if (s < 3600) return fmt::format("{} min {} s", s / 60, s % 60);
    return fmt::format("{} h {} min", s / 3600, s % 3600 / 60);
}

}  // namespace quorvel::mosquitto
