#include "clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace quorvel {

namespace {

// time_t is 64 bits on every target this builds for, the 32-bit ones
// included (built with _TIME_BITS=64).
static_assert(sizeof(std::time_t) == 8, "a 32-bit time_t ends in January 2038");

std::int64_t real_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

void real_sleep(unsigned seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    nanosleep(&left, nullptr);
}

std::atomic<now_fn> now_impl{&real_now};
std::atomic<sleep_fn> sleep_impl{&real_sleep};

}  // namespace

std::int64_t current_time() {
    return now_impl.load()();
}

void sleep_seconds(unsigned seconds) {
    sleep_impl.load()(seconds);
}

void set_clock_for_testing(now_fn now, sleep_fn sleep) {
    now_impl.store(now ? now : &real_now);
    sleep_impl.store(sleep ? sleep : &real_sleep);
}

}  // namespace quorvel
