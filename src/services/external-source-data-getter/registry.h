#pragma once

// Locking rule: the registry and the announcements are filled by the
// bootstrap on the main thread before the watchdog and the republisher
// exist. From their start on, every access to them and every Send happens
// with m_mutex held: by the message loop for the handling of one data
// message, by the watchdog for one whole sweep, by the republisher for the
// whole tree. The lock is plain, never nested, always scope-bound.

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvel {

// Timestamps are seconds since 1970 in 64 bits on every target; 0 until a
// control's first reading.
using control_table = std::unordered_map<std::string, std::int64_t>;        // control name -> last timestamp
using remote_io_registry = std::unordered_map<std::string, control_table>;  // device id -> controls
// The device tree's publications (topic, payload), in the order first made.
using announcement_list = std::vector<std::pair<std::string, std::string>>;

// Both live until the process ends and are never destroyed, so the detached
// watchdog can never touch a destroyed object while the process exits.
extern remote_io_registry& abroad_ios;
extern announcement_list& announcements;
extern std::mutex& m_mutex;

constexpr std::int64_t stale_after_s = 900;

// ts + 900 < now, without overflow at the ends of the range.
bool is_stale(std::int64_t ts, std::int64_t now);

}  // namespace quorvel
