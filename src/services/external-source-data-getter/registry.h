#pragma once

// Locking rule: the registry is filled by the bootstrap on the main thread
// before the watchdog thread exists. From the watchdog's start on, every
// access to abroad_ios and every Send happens with m_mutex held: by the
// message loop for the handling of one data message, by the watchdog for one
// whole sweep. The lock is plain, never nested, always scope-bound.

#include <mutex>
#include <string>
#include <unordered_map>

namespace quorvel {

using control_table = std::unordered_map<std::string, long>;                // control name -> last timestamp
using remote_io_registry = std::unordered_map<std::string, control_table>;  // device id -> controls

// Both live until the process ends and are never destroyed, so the detached
// watchdog can never touch a destroyed object while the process exits.
extern remote_io_registry& abroad_ios;
extern std::mutex& m_mutex;

constexpr long stale_after_s = 900;

// ts + 900 < now, without overflow whatever the width of long.
bool is_stale(long ts, long now);

}  // namespace quorvel
