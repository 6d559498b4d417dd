#pragma once

// The service's one seam for time: the current time, sleeping and the
// watchdog's wait go through here, so tests set the clock instead of waiting.
#include <chrono>
#include <cstdint>

namespace quorvel {

// Seconds since 1970, 64 bits wide on every target: past January 2038 too.
std::int64_t current_time();
void sleep_seconds(unsigned seconds);

// The one wait of the service that another thread cuts short: up to `time`,
// or until wake_waiter() is called; a wake that comes while nobody waits
// ends the next wait at once. Returns the time left, zero once it is up.
std::chrono::milliseconds wait_or_wake(std::chrono::milliseconds time);
// Never waits for long: fit for the client's thread.
void wake_waiter();

using now_fn = std::int64_t (*)();
using sleep_fn = void (*)(unsigned seconds);
using wait_fn = std::chrono::milliseconds (*)(std::chrono::milliseconds time);
using wake_fn = void (*)();
// Null restores the real clock, sleep, wait or wake.
void set_clock_for_testing(now_fn now, sleep_fn sleep);
void set_wait_for_testing(wait_fn wait, wake_fn wake);

}  // namespace quorvel
