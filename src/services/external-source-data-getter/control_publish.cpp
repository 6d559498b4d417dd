#include "control_publish.h"

#include <fmt/format.h>

#include <iterator>
#include <vector>

namespace quorvel {

namespace {

const std::string stale_marker = "r";
const std::vector<unsigned char> fresh_marker;

}  // namespace

void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale) {
    if (stale) {
        client.Send(topic, stale_marker, mosquitto::Qos::AtMostOnce, true);
    } else {
        client.Send(topic, fresh_marker, mosquitto::Qos::AtMostOnce, true);
    }
}

void publish_value(mosquitto::MqttAsyncWrapper& client, const std::string& topic, double value) {
    thread_local std::string text;  // keeps its buffer between values
    text.clear();
    fmt::format_to(std::back_inserter(text), FMT_STRING("{}"), value);
    client.Send(topic, text, mosquitto::Qos::AtMostOnce, true);
}

}  // namespace quorvel
