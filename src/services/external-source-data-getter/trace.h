#pragma once

#include "mqtt-wrapper/p7.h"

namespace quorvel {

// Every record of the service names this file and a fixed line.
inline constexpr const char* trace_file = "src/services/external-source-data-getter/main";
inline constexpr unsigned short line_fatal = 171;
inline constexpr unsigned short line_message_failed = 154;
inline constexpr unsigned short line_stale = 125;

}  // namespace quorvel
