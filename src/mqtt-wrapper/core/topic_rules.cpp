#include "mqtt-wrapper/core/topic_rules.h"

#include "mqtt-wrapper/core/utf8.h"

#include <cstdint>

namespace quorvel::mosquitto {

namespace {

constexpr std::size_t max_topic_bytes = 65535;
constexpr std::size_t max_topic_levels = 200;  // the broker refuses deeper topics
constexpr std::size_t topic_shown_bytes = 200;

// Empty when the text is well-formed UTF-8 (no surrogates or overlong
// forms) and, when strict, what the broker accepts in a topic: no NUL, no
// C0/C1 controls, no noncharacters.
std::string utf8_problem(std::string_view s, bool strict = true) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::uint32_t cp = 0;
        const std::size_t len = utf8_sequence(s, i, cp);
        if (len == 0) return "is not valid UTF-8";
        i += len;
        if (!strict) continue;
        if (cp == 0) return "contains a zero byte";
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return "contains a control character";
        if ((cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE) {
            return "contains a Unicode noncharacter";
        }
    }
    return {};
}

std::string common_problem(std::string_view s) {
    if (s.empty()) return "is empty";
    if (s.size() > max_topic_bytes) return "is longer than 65535 bytes";
    std::size_t levels = 1;
    for (char c : s) levels += c == '/';
    if (levels > max_topic_levels) return "has more than 200 levels";
    return utf8_problem(s);
}

// The common case in one pass: printable ASCII without wildcards, within
// the limits. False leaves the verdict to the full checks.
bool plainly_valid_name(std::string_view s) {
    if (s.empty() || s.size() > max_topic_bytes) return false;
    std::size_t levels = 1;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F || b == '+' || b == '#') return false;
        levels += b == '/';
    }
    return levels <= max_topic_levels;
}

}  // namespace

std::string shown_topic(std::string_view topic) {
    std::string out(topic.substr(0, topic_shown_bytes));
    for (auto& c : out) {
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    }
    return topic.size() <= topic_shown_bytes ? out : out + "...";
}

bool topic_matches(std::string_view filter, std::string_view topic) {
    if (!topic.empty() && topic[0] == '$' && !filter.empty() && (filter[0] == '+' || filter[0] == '#')) {
        return false;
    }
    std::size_t f = 0;
    std::size_t t = 0;
    for (;;) {
        const auto f_end = std::min(filter.find('/', f), filter.size());
        const auto f_level = filter.substr(f, f_end - f);
        if (f_level == "#") return true;
        const auto t_end = std::min(topic.find('/', t), topic.size());
        if (f_level != "+" && f_level != topic.substr(t, t_end - t)) return false;
        const bool filter_done = f_end == filter.size();
        const bool topic_done = t_end == topic.size();
        if (filter_done || topic_done) {
            if (filter_done && topic_done) return true;
            // "a/#" also matches "a"
            return topic_done && filter.substr(f_end) == "/#";
        }
        f = f_end + 1;
        t = t_end + 1;
    }
}

std::string topic_name_problem(std::string_view topic) {
    if (plainly_valid_name(topic)) return {};
    if (topic.find_first_of("+#") != std::string_view::npos) return "contains a wildcard (+ or #)";
    return common_problem(topic);
}

const char* received_topic_problem(std::string_view topic) {
    if (topic.empty()) return "PUBLISH with an empty topic";
    bool plain = true;
    for (const char c : topic) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '+' || b == '#') return "PUBLISH with a wildcard in its topic";
        if (b == 0) return "PUBLISH with U+0000 in its topic";
        plain = plain && b < 0x80;
    }
    if (plain) return nullptr;
    // Control characters and noncharacters are allowed from a server.
    return utf8_problem(topic, false).empty() ? nullptr : "PUBLISH with a topic that is not UTF-8";
}

std::string topic_filter_problem(std::string_view filter) {
    for (std::size_t i = 0; i < filter.size(); ++i) {
        const bool level_start = i == 0 || filter[i - 1] == '/';
        const bool level_end = i + 1 == filter.size() || filter[i + 1] == '/';
        if (filter[i] == '+' && !(level_start && level_end)) return "has a misplaced +";
        if (filter[i] == '#' && !(level_start && i + 1 == filter.size())) return "has a misplaced #";
    }
    return common_problem(filter);
}

}  // namespace quorvel::mosquitto
