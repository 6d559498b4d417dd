#include "republisher.h"

#include "clock.h"
#include "registry.h"
#include "watchdog.h"

#include "mqtt-wrapper/p7.h"

#include <condition_variable>
#include <exception>
#include <mutex>

namespace quorvel {

namespace {

const char* const source_file = "src/services/external-source-data-getter/republisher";

// Never destroyed: the detached thread may outlive main's return.
std::mutex& connections_mutex = *new std::mutex;
std::condition_variable& connection_made = *new std::condition_variable;
unsigned long connections = 0;

}  // namespace

void note_connection(void*, MQTTAsync_successData*) {
    {
        std::lock_guard<std::mutex> lock(connections_mutex);
        ++connections;
    }
    connection_made.notify_all();
}

unsigned long connections_so_far() {
    std::lock_guard<std::mutex> lock(connections_mutex);
    return connections;
}

void republish_tree(mosquitto::MqttAsyncWrapper& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [topic, payload] : announcements) {
        client.Send(topic, payload, mosquitto::Qos::AtMostOnce, true);
    }
    publish_markers(client, current_time());
}

void republish_after_connections(std::shared_ptr<mosquitto::MqttAsyncWrapper> client, unsigned long seen) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(connections_mutex);
            connection_made.wait(lock, [&] { return connections != seen; });
            seen = connections;
        }
        try {
            republish_tree(*client);
            P7::getTrace()->Trace(0, P7::INFO, nullptr, __LINE__, source_file, "republish",
                                  "Дерево устройств опубликовано заново после подключения к брокеру");
        } catch (const std::exception& e) {  // the buffer of waiting publications is full
            P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "republish",
                                  "Не удалось заново опубликовать дерево устройств: %s", e.what());
        }
    }
}

}  // namespace quorvel
