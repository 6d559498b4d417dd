#pragma once

#include "mqtt-wrapper/core/types.h"
#include "mqtt-wrapper/export.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::mosquitto {

// Asynchronous MQTT 3.1.1 client for one service.
//
// The broker address comes from the environment variable MQTT_BROKER
// (default tcp://127.0.0.1:1883); the constructor throws MqttError for one
// it cannot use. Connect() returns at once; the client then connects, and
// reconnects after every loss (at once after a broker's restart, less and
// less often for a failure that repeats), and subscribes again
// to every active filter on each new connection. onConnected runs after
// every connection, the first and each reconnection, on the client's thread
// (which must never wait for a lock held around Send), and before Receive
// hands out any message of that connection.
//
// Publish, subscribe and unsubscribe packets leave in the order of the
// calls. A Subscribe of a filter just unsubscribed waits for the broker's
// acknowledgement of the unsubscription, and what is queued after it waits
// too. What the broker sends is checked against MQTT 3.1.1; a violation
// closes the connection with one WARNING, and the client reconnects.
//
// Receive() blocks until a held message matches its filter and hands out the
// oldest such message; others stay held. The hold queue is bounded: while it
// is full the client reads no more (one WARNING a minute), and the broker
// queues the rest; only a Receive that waits for a topic none of the held
// messages has reads on, and then the oldest message is dropped with a
// WARNING. Under overload, messages on topics with a supersede key replace
// held ones of the same topic and key instead (SetSupersede), so reading
// goes on and the newest are kept. While it waits, and between messages
// while it is behind, Receive reads the socket itself.
//
// Send() and Subscribe() validate the topic or filter (throw MqttError and
// send nothing for one the broker would refuse). While connected, Send waits
// for room in the outgoing buffer; while disconnected it keeps publications
// up to a limit and throws when full. Publications made between two Receive
// calls leave when the next Receive waits, at the latest after 10 ms; other
// threads' at once.
//
// Completion callbacks run on the client's thread or a thread inside
// Receive, with no lock held, and get the client as their context; one that
// throws is logged. A connection lost with subscriptions pending (they are
// sent again on the next one) calls each failure callback once, its message
// counting them. Send() and
// Receive() may be called from different threads at once; destroying the
// client makes a Receive in progress throw MqttError, and waits for it.
class MQTT_WRAPPER_API MqttAsyncWrapper {
public:
    explicit MqttAsyncWrapper(const std::string& clientId);
    ~MqttAsyncWrapper();
    MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
    MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

    void Connect(bool cleanSession, MQTTAsync_onSuccess* onConnected, MQTTAsync_onFailure* onFailed);
    // Runs after every loss of a connection, with the reason, on the
    // client's thread, before it reconnects; set it before Connect.
    void SetConnectionLost(MQTTAsync_connectionLost* onLost);
    // Messages on topics that filter matches may be up to maxBytes long;
    // others up to 1 MiB. A longer one is skipped as it arrives, with a
    // WARNING. Set before Connect.
    void SetMessageLimit(const std::string& filter, std::size_t maxBytes);
    // Under overload (from half the hold queue's bound on), a message on a
    // topic that filter matches replaces the latest held message of the
    // same topic with the same key: key() says what a message carries. Set
    // before Connect.
    void SetSupersede(const std::string& filter, MqttSupersedeKey* key);
    void Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onDone,
                   MQTTAsync_onFailure* onFailed);
    void Unsubscribe(const std::string& filter);

    // timeoutMs 0 (or less) waits without limit; otherwise throws MqttError
    // when nothing matching arrives in time.
    MqttMessage Receive(const std::string& filter, int timeoutMs);

    void Send(const std::string& topic, const std::string& payload, Qos qos, bool retain);
    void Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos, bool retain);
    // Waits while more than 16 KiB of output wait on a live connection,
    // however slowly they drain: a caller publishing much at once paces
    // itself to the link with it, holding no lock of its own, and the next
    // 48 KiB of publications never make Send wait (which stops waiting
    // after 5 s without progress). Returns once there is room, the
    // connection is down, or the client is being destroyed.
    void WaitForOutputRoom();

    // Whether a connection to the broker is up (CONNACK taken, not lost).
    bool IsConnected() const;
    // Whether, within the last 10 s, messages came faster than Receive took
    // them: the client left input in the socket and the broker queued it, or
    // newer messages replaced held ones.
    bool InputHeldBack() const;
    // The broker address as records show it (any password as ***).
    const std::string& ServerUri() const;

    // Completion callbacks to pass to Connect and Subscribe; onFailure logs a WARNING.
    static void onSuccess(void* context, MQTTAsync_successData* response);
    static void onFailure(void* context, MQTTAsync_failureData* response);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel::mosquitto
