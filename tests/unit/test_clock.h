#pragma once

// Shared by the tests of the service logic: a clock the test sets, installed
// through the service's time seam, and a look at the registry lock.

#include "clock.h"
#include "registry.h"

#include <cstdint>

namespace test_clock {

inline std::int64_t& now() {
    static std::int64_t value = 0;
    return value;
}

inline std::int64_t read() {
    return now();
}

// Installs the test clock at the given time; real sleeping stays.
inline void install(std::int64_t at) {
    now() = at;
    quorvel::set_clock_for_testing(&read, nullptr);
}

inline void uninstall() {
    quorvel::set_clock_for_testing(nullptr, nullptr);
    quorvel::set_wait_for_testing(nullptr, nullptr);
}

// Instants where 32-bit time ends or wraps: the last second of signed 32
// bits (2038-01-19T03:14:07Z), the one after it, 2^32, and 2100-01-01.
constexpr std::int64_t beyond_32_bits[] = {2147483647, 2147483648, 4294967296, 4102444800};

inline bool registry_lock_is_free() {
    if (!quorvel::m_mutex.try_lock()) return false;
    quorvel::m_mutex.unlock();
    return true;
}

}  // namespace test_clock
