#include "watchdog.h"

#include "clock.h"
#include "control_publish.h"
#include "registry.h"

#include "mqtt-wrapper/p7.h"

#include <fmt/format.h>

#include <cstring>
#include <exception>
#include <mutex>
#include <string>

namespace quorvel {

namespace {

constexpr unsigned start_delay_s = 5;
constexpr unsigned period_s = 90;
const char* const source_file = "src/services/external-source-data-getter/watchdog";

}  // namespace

void sweep_markers(mosquitto::MqttAsyncWrapper& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    publish_markers(client, current_time());
}

void publish_markers(mosquitto::MqttAsyncWrapper& client, std::int64_t now, bool with_values) {
    std::string topic;
    for (const auto& [id, controls] : abroad_ios) {
        for (const auto& [name, control] : controls) {
            topic = fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/error"), id, name);
            try {
                publish_error_marker(client, topic, is_stale(control.timestamp, now));
            } catch (const std::exception& e) {
                P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "sync_timeouts",
                                      "Не удалось опубликовать маркер '%s': %s", topic.c_str(), e.what());
                continue;  // its value must not stand without its marker
            }
            if (!with_values || !control.has_value()) continue;
            topic.resize(topic.size() - std::strlen("/meta/error"));
            try {
                publish_value(client, topic, control.value());
            } catch (const std::exception& e) {
                P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "sync_timeouts",
                                      "Не удалось опубликовать значение '%s': %s", topic.c_str(), e.what());
            }
        }
    }
}

void sync_timeouts(std::shared_ptr<mosquitto::MqttAsyncWrapper> client) {
    sleep_seconds(start_delay_s);
    for (;;) {
        try {
            sweep_markers(*client);
        } catch (const std::exception& e) {  // out of memory at worst; try again next period
            P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "sync_timeouts", "%s",
                                  e.what());
        }
        sleep_seconds(period_s);
    }
}

}  // namespace quorvel
