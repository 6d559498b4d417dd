#pragma once

#include "mqtt-wrapper/p7.h"

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

// A payload as the records show it: the first 2048 bytes, then "… (N
// bytes)", so that one large message cannot flood the journal.
inline std::string payload_for_record(const std::vector<unsigned char>& payload) {
    constexpr std::size_t shown_bytes = 2048;
    return P7::cut_text(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()),
                        shown_bytes);
}

}  // namespace quorvel
