#include "perform.h"

#include "clock.h"
#include "configuration.h"
#include "data_message.h"
#include "registry.h"
#include "supervision.h"
#include "trace.h"
#include "tree.h"

#include "mqtt-wrapper/common/broker_address.h"
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using mosquitto::MqttMessage;
using mosquitto::Qos;

const char* const source_file = "src/services/external-source-data-getter/perform";
constexpr const char* client_id = "mqtt-external-source-data-getter";
constexpr const char* every_topic = "/#";
constexpr const char* data_topics = "/qv/bridge/thirdparty_data/#";
constexpr unsigned bootstrap_pause_s = 5;
// The configuration may be larger than a data message: it is parsed as it
// streams by, without a document, and what it costs follows its controls
// (about 30 bytes each). At 1.5 MiB, even of the shortest names, peak memory
// stays under three quarters of the unit's cap: see "Memory" in the README.
constexpr std::size_t configuration_limit_bytes = 3 << 19;
constexpr int wait_forever = 0;

// When the connection came up (current_time), or -1 while there is none.
std::atomic<std::int64_t> connected_at{-1};

// Waits for a configuration message. A minute connected without one is
// told, again at most every ten minutes: a broker that lost its retained
// configuration, or a source that never sent one, leaves the service here.
// It wakes only when that is due, or a minute on while there is no
// connection.
MqttMessage await_configuration(MqttAsyncWrapper& client) {
    constexpr std::int64_t told_after_s = 60;
    constexpr std::int64_t told_again_s = 600;
    const std::int64_t began = current_time();
    std::int64_t told_at = -1;
    for (;;) {
        const std::int64_t now = current_time();
        std::int64_t since = -1;  // connected and waiting here since
        if (client.IsConnected()) {
            since = connected_at.load();
            if (since < 0 || since > now) {  // the callback not run yet, or the clock set back
                since = now;
                connected_at = now;
            }
            since = std::max(since, std::min(began, now));
        }
        std::int64_t due = now + told_after_s;
        if (since >= 0) due = std::max(since + told_after_s, told_at < 0 ? since : told_at + told_again_s);
        if (since >= 0 && now >= due) {
            told_at = now;
            SERVICE_TRACE(WARNING, "await_configuration",
                          "Конфигурации нет после %lld мин связи с брокером: сервис ждёт её в '%s'",
                          static_cast<long long>((now - since) / 60), configuration_topic);
            report_configuration_overdue();
            continue;
        }
        try {
            return client.Receive(configuration_topic, static_cast<int>((due - now) * 1000));
        } catch (const mosquitto::MqttError& e) {
            if (e.code() != mosquitto::MqttError::Code::timed_out) throw;
        }
    }
}

void subscribe(MqttAsyncWrapper& client, const std::string& filter) {
    client.Subscribe(filter, Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
}

// On the client's thread: neither may wait for m_mutex.
void connected(void*, MQTTAsync_successData*) {
    connected_at = current_time();
    note_connection();
    status_changed();
}

void connection_lost(void*, char*) {
    connected_at = -1;
    status_changed();
}

}  // namespace

void perform() {
    // Buffers of 128 KiB and more (a configuration, a large message) are
    // mapped and given back when freed: glibc would otherwise raise this
    // bound after the first and keep the next ones in the heap.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // One heap for every thread: what the client's thread frees (a burst of
    // acknowledgements, of messages) serves the others, and the few threads
    // seldom allocate at once.
    mallopt(M_ARENA_MAX, 1);
    abroad_ios.clear();
    announcements.clear();
    connected_at = -1;

    const auto client = std::make_shared<MqttAsyncWrapper>(client_id);
    // The client keeps the password; the copy in MQTT_BROKER goes.
    mosquitto::hide_broker_password_in_environment();
    client->SetConnectionLost(&connection_lost);
    client->SetMessageLimit(configuration_topic, configuration_limit_bytes);
    // Under overload a newer reading of the same controls replaces an older
    // one still waiting, rather than the broker dropping the newest.
    client->SetSupersede(data_topics, &data_message_key);
    client->Connect(true, &connected, &MqttAsyncWrapper::onFailure);
    report_ready(client);  // not waiting for a configuration, which may never come

    // The first message is discarded; the pause lets a retained configuration
    // settle before it is read again through a fresh subscription.
    subscribe(*client, configuration_topic);
    await_configuration(*client);
    sleep_seconds(bootstrap_pause_s);
    client->Unsubscribe(configuration_topic);
    subscribe(*client, configuration_topic);
    unsigned long connections = 0;
    {
        MqttMessage configuration = await_configuration(*client);
        connections =
            connections_so_far();  // the announcements below reach this connection or wait for the next
        apply_configuration(*client, std::move(configuration.payload));
    }
    // The configuration document's memory, freed, goes back to the system:
    // glibc keeps freed pages in the middle of the heap otherwise.
    malloc_trim(0);
    report_configured();
    tree_sent_for(connections);
    std::thread(sync_timeouts, client).detach();

    RefusedMessages refused;
    for (;;) {
        const MqttMessage message = client->Receive(every_topic, wait_forever);
        messages_handled.fetch_add(1, std::memory_order_relaxed);
        const auto failed = [&] {
            const std::string text = payload_for_record(message.payload);
            FIXED_TRACE(ERROR, line_message_failed, "perform", "Ошибка обработки: %s", text.c_str());
        };
        try {
            handle_data_message(*client, message);
            refused.handled();
        } catch (const std::exception& e) {
            failed();
            if (owe_tree_if_refused(e)) refused.refused(e.what());  // its reading is published with the tree
        } catch (...) {
            failed();
        }
    }
}

}  // namespace quorvel
