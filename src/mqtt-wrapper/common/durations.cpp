#include "mqtt-wrapper/common/durations.h"

#include <fmt/format.h>

namespace quorvel::mosquitto {

std::string describe_duration(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    if (ms < 60'000) return fmt::format("{:.1f} s", static_cast<double>(ms) / 1000.0);
    const auto s = ms / 1000;
    if (s < 3600) return fmt::format("{} min {} s", s / 60, s % 60);
    return fmt::format("{} h {} min", s / 3600, s % 3600 / 60);
}

}  // namespace quorvel::mosquitto
