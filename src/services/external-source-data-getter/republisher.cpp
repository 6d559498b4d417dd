#include "republisher.h"

#include "clock.h"
#include "control_publish.h"
#include "registry.h"

#include "mqtt-wrapper/common/p7.h"

#include <fmt/format.h>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace quorvel {

namespace {

const char* const source_file = "src/services/external-source-data-getter/republisher";

// Per client, so that a connection of one client never wakes another's
// republisher: connections made, and those the tree was published for.
struct Connections {
    unsigned long made = 0;
    unsigned long published = 0;
};

// Never destroyed: the detached thread may outlive main's return.
std::mutex& connections_mutex = *new std::mutex;
std::condition_variable& connection_made = *new std::condition_variable;
auto& connections = *new std::unordered_map<const void*, Connections>;

// A link that keeps dropping republishes every few seconds: one record a
// minute at most, with the count of those not told. Under m_mutex (the
// last slice of a pass).
constexpr std::int64_t told_at_most_every_s = 60;
std::int64_t last_told = 0;
unsigned long untold = 0;

// The whole tree, in slices, and one record of it; false when abandoned.
bool publish_tree(mosquitto::MqttAsyncWrapper& client, const char* why, std::function<bool()> abandon) {
    try {
        TreePass pass(client, std::move(abandon));
        if (!pass.announce()) return false;
        const auto now = current_time();
        if (!pass.markers(now, true)) return false;
        pass.finish("маркеров и значений");
        if (last_told != 0 && now >= last_told && now - last_told < told_at_most_every_s) {
            ++untold;
            return true;
        }
        const std::string more = untold ? fmt::format(" (и ещё {} раз с прошлой записи)", untold) : "";
        P7::getTrace()->Trace(0, P7::INFO, nullptr, __LINE__, source_file, "republish",
                              "Дерево устройств опубликовано заново %s%s", why, more.c_str());
        last_told = now;
        untold = 0;
    } catch (const std::exception& e) {
        owe_tree_if_refused(e);
        P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "republish",
                              "Не удалось заново опубликовать дерево устройств: %s", e.what());
    }
    return true;
}

// Whether a connection came since the tree was last published.
bool due(const mosquitto::MqttAsyncWrapper& client) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    const auto& c = connections[&client];
    return c.made != c.published;
}

}  // namespace

void note_connection(void* client, MQTTAsync_successData*) {
    {
        std::lock_guard<std::mutex> lock(connections_mutex);
        ++connections[client].made;
    }
    connection_made.notify_all();
}

unsigned long connections_so_far(const mosquitto::MqttAsyncWrapper& client) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    return connections[&client].made;
}

void tree_sent_for(const mosquitto::MqttAsyncWrapper& client, unsigned long made) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    connections[&client].published = made;
}

bool republish_if_due(mosquitto::MqttAsyncWrapper& client) {
    {
        std::lock_guard<std::mutex> lock(connections_mutex);
        auto& c = connections[&client];
        if (c.made == c.published) return false;
        c.published = c.made;
    }
    take_owed_tree();  // this publishes all of it
    // A connection that comes meanwhile starts it over.
    publish_tree(client, "после подключения к брокеру", [&client] { return due(client); });
    return true;
}

bool republish_if_owed(mosquitto::MqttAsyncWrapper& client) {
    if (!take_owed_tree()) return false;
    publish_tree(client, "после публикаций, не принятых клиентом", {});
    return true;
}

void republish_after_connections(std::shared_ptr<mosquitto::MqttAsyncWrapper> client) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(connections_mutex);
            const auto& c = connections[client.get()];
            connection_made.wait(lock, [&] { return c.made != c.published; });
        }
        republish_if_due(*client);
    }
}

}  // namespace quorvel
