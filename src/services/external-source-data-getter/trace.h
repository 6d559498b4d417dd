#pragma once

#include "mqtt-wrapper/common/p7.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// Every record of the service names this file and a fixed line.
inline constexpr const char* trace_file = "src/services/external-source-data-getter/main";
inline constexpr unsigned short line_fatal = 171;
inline constexpr unsigned short line_message_failed = 154;
inline constexpr unsigned short line_stale = 125;

// A record of the file that calls it (its source_file), written on the line
// of the call, naming function.
#define SERVICE_TRACE(level, function, ...) \
    P7::getTrace()->Trace(0, P7::level, nullptr, __LINE__, source_file, function, __VA_ARGS__)

// One of the records whose file (trace_file), line and function are fixed.
#define FIXED_TRACE(level, line, function, ...) \
    P7::getTrace()->Trace(0, P7::level, nullptr, line, quorvel::trace_file, function, __VA_ARGS__)

// A payload as the records show it: the first 2048 bytes, then "… (N
// bytes)", so that one large message cannot flood the journal. "%s" would
// end it at a zero byte, so it is cut there too, with its size.
inline std::string payload_for_record(const std::vector<unsigned char>& payload) {
    constexpr std::size_t shown_bytes = 2048;
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    return P7::cut_text(text, std::min(shown_bytes, text.find('\0')));
}

}  // namespace quorvel
