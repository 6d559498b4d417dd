#include "data_message.h"

#include "clock.h"
#include "data_key.h"
#include "data_reader.h"
#include "json_numbers.h"
#include "registry.h"
#include "trace.h"
#include "tree.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using nlohmann::json;

constexpr int data_version = 1;
constexpr std::int64_t refusal_report_interval_s = 60;
const char* const source_file = "src/services/external-source-data-getter/data_message";

// "timestamp" in the registry's 64 bits. A time that does not fit fails the
// message instead of wrapping.
std::int64_t timestamp_of(const json& value) {
    const auto ts = checked_integer<std::int64_t>(value);
    if (!ts) throw std::out_of_range("timestamp does not fit the registry's range: " + value.dump());
    return *ts;
}

}  // namespace

void handle_data_message(MqttAsyncWrapper& client, const mosquitto::MqttMessage& message) {
    // Kept between messages for their buffers; the handler runs on one thread.
    thread_local DataReader reader;
    thread_local std::string topic, marker_topic;

    const auto& payload = message.payload;
    if (!reader.read(payload.data(), payload.data() + payload.size()))
        throw std::invalid_argument("not a JSON object");
    if (!reader.version() || checked_integer<int>(*reader.version()) != data_version) return;
    if (!reader.io_id()) throw std::invalid_argument("no io_id");
    const auto& id = reader.io_id()->get_ref<const std::string&>();  // the library's type error

    std::lock_guard<fair_mutex> lock(m_mutex);
    const auto device = abroad_ios.find(id);
    if (device == abroad_ios.end()) return;
    const auto controls = device->second;

    const auto now = current_time();
    if (!reader.timestamp()) throw std::invalid_argument("no timestamp");
    const auto ts = timestamp_of(*reader.timestamp());
    const bool stale = is_stale(ts, now);
    if (stale) {
        const std::string text = payload_for_record(payload);
        const auto line =
            fmt::format(FMT_STRING("Timestamp {} слишком старый, помечаем как недоступный '{}'"), ts, text);
        FIXED_TRACE(INFO, quorvel::line_stale, "perform", "%s", line.c_str());
    }

    if (reader.data_shape() == DataReader::DataShape::invalid)
        throw std::invalid_argument("data is not an object");
    // Once the client refuses for a full buffer, the tree is owed and carries
    // every reading: the rest of the message is recorded, not published.
    std::exception_ptr refused;
    for (const auto& reading : reader.controls()) {
        const auto control = controls.find(reading.name);
        if (control == controls.end()) continue;
        // The library would turn a boolean into 0 or 1; only numbers count.
        if (!reading.valid)
            throw std::invalid_argument("avg of '" + reading.name + "' is not made of numbers");
        // Kept even when a publication below fails: a reconnection publishes it again.
        control->second.record(ts, reading.sum);
        if (refused) continue;
        control_topic(topic, id, reading.name);
        marker_topic.assign(topic).append(marker_suffix);
        try {
            publish_error_marker(client, marker_topic, stale);
            publish_value(client, topic, reading.sum);
        } catch (const std::exception& e) {
            if (!owe_tree_if_refused(e)) throw;
            refused = std::current_exception();
        }
    }
    if (refused) std::rethrow_exception(refused);
}

bool data_message_key(const mosquitto::MqttMessage& message, std::string& key) {
    // The controls as they come: the same names in another order only make
    // another key, and a repeated one must be valid at each place.
    const auto& payload = message.payload;
    return scan_data_key(payload.data(), payload.data() + payload.size(), key);
}

void RefusedMessages::refused(const std::string& reason) {
    const auto now = current_time();
    if (count_++ == 0) first_ = now;
    reason_ = reason;
    if (now - first_ >= refusal_report_interval_s) report(now);
}

void RefusedMessages::handled() {
    if (count_ > 0) report(current_time());  // no clock read otherwise
}

void RefusedMessages::report(std::int64_t now) {
    if (last_report_ && now >= *last_report_ && now - *last_report_ < refusal_report_interval_s) return;
    SERVICE_TRACE(WARNING, "perform",
                  "Не удалось опубликовать сообщений с данными: %zu (%s); дерево будет опубликовано заново",
                  count_, reason_.c_str());
    last_report_ = now;
    count_ = 0;
}

}  // namespace quorvel
