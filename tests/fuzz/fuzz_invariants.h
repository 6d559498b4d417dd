#pragma once

// Invariants every fuzz input must leave intact; a violation aborts.

#include "fake_mqtt.h"
#include "registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void violated(const std::string& what) {
    std::fprintf(stderr, "invariant violated: %s\n", what.c_str());
    std::abort();
}

inline void check_common_invariants() {
    if (!quorvel::m_mutex.try_lock()) violated("registry lock still held");
    quorvel::m_mutex.unlock();
    for (const auto& c : fake_mqtt::sends()) {
        if (c.topic.rfind("/devices/", 0) != 0) violated("publish outside /devices/: " + c.topic);
        if (c.qos != 0) violated("publish with QoS " + std::to_string(c.qos));
        if (!c.retain) violated("publish not retained: " + c.topic);
    }
}

}  // namespace fuzz
