#pragma once

// Shared by the tests of the service logic: a clock the test sets, installed
// through the service's time seam, and a look at the registry lock.

#include "clock.h"
#include "registry.h"

namespace test_clock {

inline long& now() {
    static long value = 0;
    return value;
}

inline long read() {
    return now();
}

// Installs the test clock at the given time; real sleeping stays.
inline void install(long at) {
    now() = at;
    quorvel::set_clock_for_testing(&read, nullptr);
}

inline void uninstall() {
    quorvel::set_clock_for_testing(nullptr, nullptr);
}

inline bool registry_lock_is_free() {
    if (!quorvel::m_mutex.try_lock()) return false;
    quorvel::m_mutex.unlock();
    return true;
}

}  // namespace test_clock
