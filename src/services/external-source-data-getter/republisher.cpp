#include "republisher.h"

#include "clock.h"
#include "configuration.h"
#include "registry.h"
#include "watchdog.h"

#include "mqtt-wrapper/p7.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <unordered_map>

namespace quorvel {

namespace {

const char* const source_file = "src/services/external-source-data-getter/republisher";

// Never destroyed: the detached thread may outlive main's return.
std::mutex& connections_mutex = *new std::mutex;
std::condition_variable& connection_made = *new std::condition_variable;
// Per client: a connection of one client never wakes another's republisher.
auto& connections = *new std::unordered_map<const void*, unsigned long>;

}  // namespace

void note_connection(void* client, MQTTAsync_successData*) {
    {
        std::lock_guard<std::mutex> lock(connections_mutex);
        ++connections[client];
    }
    connection_made.notify_all();
}

unsigned long connections_so_far(const mosquitto::MqttAsyncWrapper& client) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    const auto it = connections.find(&client);
    return it == connections.end() ? 0 : it->second;
}

void republish_tree(mosquitto::MqttAsyncWrapper& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& io : announcements) announce(client, io);
    publish_markers(client, current_time());
}

void republish_after_connections(std::shared_ptr<mosquitto::MqttAsyncWrapper> client, unsigned long seen) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(connections_mutex);
            auto& made = connections[client.get()];
            connection_made.wait(lock, [&] { return made != seen; });
            seen = made;
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
