#include "clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>

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

// A wake not yet taken by a wait. Never destroyed: the detached watchdog
// may wait on it while the process exits.
struct Wake {
    std::mutex mutex;  // a leaf: see registry.h
    std::condition_variable woken_up;
    bool woken = false;
};
Wake& wake = *new Wake;

std::chrono::milliseconds real_wait(std::chrono::milliseconds time) {
    using steady = std::chrono::steady_clock;
    const auto until = steady::now() + time;
    std::unique_lock<std::mutex> lock(wake.mutex);
    if (!wake.woken_up.wait_until(lock, until, [] { return wake.woken; })) return {};
    wake.woken = false;
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(until - steady::now()),
                    std::chrono::milliseconds::zero());
}

void real_wake() {
    {
        std::lock_guard<std::mutex> lock(wake.mutex);
        wake.woken = true;
    }
    wake.woken_up.notify_all();
}

std::atomic<now_fn> now_impl{&real_now};
std::atomic<sleep_fn> sleep_impl{&real_sleep};
std::atomic<wait_fn> wait_impl{&real_wait};
std::atomic<wake_fn> wake_impl{&real_wake};

}  // namespace

std::int64_t current_time() {
    return now_impl.load()();
}

void sleep_seconds(unsigned seconds) {
    sleep_impl.load()(seconds);
}

std::chrono::milliseconds wait_or_wake(std::chrono::milliseconds time) {
    return wait_impl.load()(time);
}

void wake_waiter() {
    wake_impl.load()();
}

void set_clock_for_testing(now_fn now, sleep_fn sleep) {
    now_impl.store(now ? now : &real_now);
    sleep_impl.store(sleep ? sleep : &real_sleep);
}

void set_wait_for_testing(wait_fn wait, wake_fn wake_up) {
    wait_impl.store(wait ? wait : &real_wait);
    wake_impl.store(wake_up ? wake_up : &real_wake);
}

}  // namespace quorvel
