#include "clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace quorvel {

namespace {

long real_now() {
    return static_cast<long>(std::time(nullptr));
}

void real_sleep(unsigned seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    nanosleep(&left, nullptr);
}

std::atomic<now_fn> now_impl{&real_now};
std::atomic<sleep_fn> sleep_impl{&real_sleep};

}  // namespace

long current_time() {
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
