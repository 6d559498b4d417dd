#pragma once

#include <chrono>
#include <string>

namespace quorvel::mosquitto {

// A duration as records show it: "4.2 s", "3 min 12 s", "2 h 5 min".
std::string describe_duration(std::chrono::steady_clock::duration d);

}  // namespace quorvel::mosquitto
