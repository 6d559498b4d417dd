#pragma once

#include <string>
#include <string_view>

namespace quorvel::mosquitto {

// MQTT filter matching: "+" is one whole level, "#" the rest (the parent
// level included); wildcards at the first level do not match "$" topics.
bool topic_matches(std::string_view filter, std::string_view topic);

// Why a broker would refuse this topic name or filter, or an empty string
// when it is acceptable. A refused publish or subscribe makes the broker
// drop the whole connection, so these run before anything is sent.
std::string topic_name_problem(std::string_view topic);
std::string topic_filter_problem(std::string_view filter);

// A topic or filter as records and errors show it: at most 200 bytes, and
// control characters as '?', since an error text ends at a zero byte.
std::string shown_topic(std::string_view topic);

// Why a topic name that a server sent breaks MQTT's rules (empty, not
// well-formed UTF-8, U+0000, a wildcard), or null. Such a packet closes the
// connection.
const char* received_topic_problem(std::string_view topic);

}  // namespace quorvel::mosquitto
