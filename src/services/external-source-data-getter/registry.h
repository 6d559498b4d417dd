#pragma once

// Locking rule: the registry and the announcements are filled by the
// bootstrap on the main thread before the watchdog and the republisher
// exist. From their start on, every access to them and every Send happens
// with m_mutex held: by the message loop for the handling of one data
// message, by the watchdog and the republisher for one slice of a pass
// over the tree (see TreePass), by the heartbeat to count. The lock is
// plain, granted in the order asked for, never nested, always scope-bound.

#include "fair_mutex.h"
#include "sorted_table.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// A control's last reading: its timestamp, seconds since 1970 in 64 bits on
// every target (0 until the first reading), and the value as published, kept
// so that a broker that lost it gets it again after a reconnection.
class control_state {
public:
    control_state(std::int64_t ts = 0) : timestamp(ts) {}  // known since ts, no value yet
    std::int64_t timestamp;

    bool has_value() const { return !is_none(value_); }
    double value() const { return value_; }
    void record(std::int64_t ts, double v) {
        timestamp = ts;
        value_ = v;
    }

    bool operator==(std::int64_t) const = delete;  // compare the timestamp, or a whole state
    friend bool operator==(const control_state& a, const control_state& b) {
        const bool same_value = a.value_ == b.value_ || (std::isnan(a.value_) && std::isnan(b.value_));
        return a.timestamp == b.timestamp && a.has_value() == b.has_value() && same_value;
    }

private:
    // "No value" is a NaN that no sum of JSON numbers can make (at worst an
    // infinity; arithmetic makes only the default NaN), so a control costs
    // no flag and no padding.
    static constexpr std::uint64_t none_bits = 0x7FF4'0000'0000'0001;
    static double none() { return bit_cast_double(none_bits); }
    static bool is_none(double v) { return bits_of(v) == none_bits; }
    static double bit_cast_double(std::uint64_t bits) {
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    static std::uint64_t bits_of(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return bits;
    }

    double value_ = none();
};
using control_table = sorted_table<control_state>;       // control name -> last reading
using remote_io_registry = sorted_table<control_table>;  // device id -> controls

// One remote io as the configuration announced it: its id and its control
// names in their order (a repeated name included), so that the device tree
// can be announced again, the same, without a copy of every topic.
struct announced_io {
    std::string id;
    std::string names;                // one after the other
    std::vector<std::uint32_t> ends;  // where each name ends in names

    std::size_t count() const { return ends.size(); }
    std::string_view name(std::size_t i) const {
        const std::size_t from = i == 0 ? 0 : ends[i - 1];
        return std::string_view(names).substr(from, ends[i] - from);
    }
    void add(std::string_view name) {
        names += name;
        ends.push_back(static_cast<std::uint32_t>(names.size()));
    }
};
// In the order of the configuration; a repeated id is announced again.
using announcement_list = std::vector<announced_io>;

// Both live until the process ends and are never destroyed, so the detached
// watchdog can never touch a destroyed object while the process exits.
extern remote_io_registry& abroad_ios;
extern announcement_list& announcements;
extern fair_mutex& m_mutex;

constexpr std::int64_t stale_after_s = 900;

// ts + 900 < now, without overflow at the ends of the range.
bool is_stale(std::int64_t ts, std::int64_t now);

}  // namespace quorvel
