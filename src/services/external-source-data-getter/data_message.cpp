#include "data_message.h"

#include "clock.h"
#include "error_marker.h"
#include "json_numbers.h"
#include "registry.h"
#include "trace.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using mosquitto::Qos;
using nlohmann::json;

constexpr int data_version = 1;

// "timestamp" as the registry's long. A time that does not fit (on a 32-bit
// target every time after January 2038) fails the message instead of wrapping.
long timestamp_of(const json& value) {
    const auto ts = checked_integer<long>(value);
    if (!ts) throw std::out_of_range("timestamp does not fit the registry's range: " + value.dump());
    return *ts;
}

// The sum of "avg": a number is one element, an array its elements, an
// object its member values in key order; absent or null adds nothing.
double sum_of(json& control_value) {
    double sum = 0.0;
    for (const json& element : control_value["avg"]) {
        // The library would turn a boolean into 0 or 1; only numbers count.
        if (!element.is_number()) {
            throw std::invalid_argument(std::string("avg element is not a number but ") +
                                        element.type_name());
        }
        sum += element.get<double>();
    }
    return sum;
}

}  // namespace

void handle_data_message(MqttAsyncWrapper& client, const mosquitto::MqttMessage& message) {
    const std::string text(message.payload.begin(), message.payload.end());
    json document = json::parse(text);
    if (!version_is(document, data_version)) return;
    const auto id = document["io_id"].get<std::string>();

    std::lock_guard<std::mutex> lock(m_mutex);
    const auto device = abroad_ios.find(id);
    if (device == abroad_ios.end()) return;
    control_table& controls = device->second;

    const long now = current_time();
    const long ts = timestamp_of(document["timestamp"]);
    const bool stale = is_stale(ts, now);
    if (stale) {
        const auto line =
            fmt::format(FMT_STRING("Timestamp {} слишком старый, помечаем как недоступный '{}'"), ts, text);
        P7::getTrace()->Trace(0, P7::INFO, nullptr, line_stale, trace_file, "perform", "%s", line.c_str());
    }

    json& data = document["data"];
    for (auto member = data.begin(); member != data.end(); ++member) {
        const auto control = controls.find(member.key());  // key() fails for a non-object "data"
        if (control == controls.end()) continue;
        const double value = sum_of(member.value());
        control->second = ts;
        const auto topic = fmt::format(FMT_STRING("/devices/{}/controls/{}"), id, member.key());
        publish_error_marker(client, topic + "/meta/error", stale);
        client.Send(topic, fmt::format(FMT_STRING("{}"), value), Qos::AtMostOnce, true);
    }
}

}  // namespace quorvel
