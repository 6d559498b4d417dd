#pragma once

// The service's one seam for time: the current time and sleeping go through
// here, so tests set the clock instead of waiting.
#include <cstdint>

namespace quorvel {

// Seconds since 1970, 64 bits wide on every target: past January 2038 too.
std::int64_t current_time();
void sleep_seconds(unsigned seconds);

using now_fn = std::int64_t (*)();
using sleep_fn = void (*)(unsigned seconds);
// Null restores the real clock or the real sleep.
void set_clock_for_testing(now_fn now, sleep_fn sleep);

}  // namespace quorvel
