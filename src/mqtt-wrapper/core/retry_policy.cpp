#include "mqtt-wrapper/core/retry_policy.h"

#include <algorithm>
#include <utility>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using clock = RetryPolicy::clock;

constexpr auto fast_first = 20ms;
constexpr auto fast_most = 200ms;
constexpr auto slow_first = 250ms;
constexpr auto refused_least = 5s;
constexpr unsigned free_flaps = 2;        // short connections in a row reconnected at once
constexpr std::size_t reasons_kept = 16;  // told in one trouble, the oldest forgotten first

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
    const double factor = 0.75 + 0.25 * (random_ % 1001) / 1000.0;
    return std::chrono::duration_cast<clock::duration>(d * factor);
}

clock::duration RetryPolicy::credit_at(clock::time_point now) const {
    return std::min<clock::duration>(connection_interval * connection_burst, credit_ + (now - credited_));
}

void RetryPolicy::spend(clock::time_point now) {
    credit_ = credit_at(now) - connection_interval;
    credited_ = now;
}

// The pause, or longer until the bucket holds a token.
clock::duration RetryPolicy::paced(clock::time_point now, clock::duration pause) const {
    return std::max<clock::duration>(pause, connection_interval - credit_at(now));
}

void RetryPolicy::begin_trouble(clock::time_point now) {
    if (trouble_) return;
    trouble_ = true;
    trouble_start_ = now;
    told_reasons_.clear();
    losses_ = 0;
    untold_ = 0;
}

RetryPolicy::Tell RetryPolicy::tell(clock::time_point now, Reason reason) {
    begin_trouble(now);
    const auto same = [&](const Reason& r) {
        return r.lost == reason.lost && r.code == reason.code && r.text == reason.text;
    };
    if (std::none_of(told_reasons_.begin(), told_reasons_.end(), same)) {
        if (told_reasons_.size() == reasons_kept) told_reasons_.erase(told_reasons_.begin());
        told_reasons_.push_back(std::move(reason));
        told_ = now;
        owe_up_ = true;
        return Tell::reason;
    }
    ++untold_;
    if (now - told_ < reminder_every) return Tell::nothing;
    told_ = now;
    owe_up_ = true;
    return Tell::reminder;
}

RetryPolicy::Step RetryPolicy::failed(clock::time_point now, const Closed& why) {
    if (!down_) {
        down_ = true;
        outage_start_ = now;
        attempts_ = 0;
    }
    ++attempts_;
    Step step;
    step.tell = tell(now, {false, why.code, why.text});
    step.count = attempts_;
    step.span = now - outage_start_;
    const bool unreachable = why.code == CloseCode::unreachable;
    // Only an attempt that reached something spends a token.
    if (!unreachable && why.code != CloseCode::unresolved) spend(now);

    if (unreachable) flaps_ = 0;  // the broker was away: a restart, not a flap
    if (unreachable && now - outage_start_ < fast_phase) {
        step.pause = paced(now, jittered(std::min<clock::duration>(doubled(fast_first, ++fast_), fast_most)));
        return step;
    }
    step.pause = jittered(doubled(slow_first, ++slow_));
    if (why.code == CloseCode::refused) step.pause = std::max<clock::duration>(step.pause, refused_least);
    step.pause = paced(now, step.pause);
    return step;
}

RetryPolicy::Up RetryPolicy::connected(clock::time_point now) {
    spend(now);
    Up up;
    if (down_) up.outage = now - outage_start_;
    up.tell = std::exchange(owe_up_, false);
    down_ = false;
    up_since_ = now;
    return up;
}

RetryPolicy::Step RetryPolicy::lost(clock::time_point now, clock::time_point since, const Closed& why,
                                    bool served) {
    if (trouble_ && now - since >= settled_after) trouble_ = false;  // settled() was not asked
    down_ = true;
    outage_start_ = now;
    attempts_ = 0;
    fast_ = 0;
    Step step;
    step.tell = tell(now, {true, why.code, why.text});
    step.count = ++losses_;
    step.span = now - trouble_start_;
    const bool held = served || now - since >= stable_connection;
    if (held) {
        slow_ = 0;
        flaps_ = 0;
    }
    // Up and gone at once, again and again, with no outage between: a
    // broker that takes the connection but will not keep it.
    const bool flapping = !held && ++flaps_ > free_flaps;
    step.pause = paced(now, jittered(flapping ? doubled(slow_first, ++slow_) : fast_first));
    return step;
}

clock::time_point RetryPolicy::settles_at() const {
    return trouble_ && !down_ ? up_since_ + settled_after : clock::time_point::max();
}

RetryPolicy::Summary RetryPolicy::settled(clock::time_point now) {
    Summary summary;
    if (now < settles_at()) return summary;
    trouble_ = false;
    if (untold_ > 0) {
        summary.losses = losses_;
        summary.span = up_since_ - trouble_start_;
    }
    return summary;
}

}  // namespace quorvel::mosquitto
