#pragma once

// One UTF-8 decoder for the topic rules, the user name and the log's
// escaping: well-formed sequences only (no overlong forms, no surrogates,
// nothing above U+10FFFF).

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel::mosquitto {

// The length of the sequence at s[i] with its code point, or 0 when the
// bytes there are not well-formed UTF-8.
inline std::size_t utf8_sequence(std::string_view s, std::size_t i, std::uint32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        cp = b0 & 0x1Fu;
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        cp = b0 & 0x0Fu;
        len = 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        cp = b0 & 0x07u;
        len = 4;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

// Well-formed UTF-8 without U+0000, as MQTT wants its strings.
inline bool mqtt_utf8(std::string_view s) {
    std::uint32_t cp = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto len = utf8_sequence(s, i, cp);
        if (len == 0 || cp == 0) return false;
        i += len;
    }
    return true;
}

}  // namespace quorvel::mosquitto
