#pragma once

#include <MQTTAsync.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel::mosquitto {

enum class Qos : int { AtMostOnce = 0, AtLeastOnce = 1, ExactlyOnce = 2 };

struct MqttMessage {
    std::string topic;
    std::vector<unsigned char> payload;
};

// Every failure of the client is one of these: a refused topic, a full
// offline buffer, a call the underlying library rejected, a timed-out Receive.
class MqttError : public std::runtime_error {
public:
    explicit MqttError(const std::string& what, int code = 0) : std::runtime_error(what), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Asynchronous MQTT client for one service.
//
// The broker address comes from the environment variable MQTT_BROKER
// (default tcp://127.0.0.1:1883). Connect() returns at once; the client
// then connects, and reconnects after every loss, with a short back-off,
// and replays every active subscription once per connection.
//
// Receive() blocks until a held message matches its filter and hands out the
// oldest such message; others stay held. The hold queue is bounded: on
// overflow the oldest message is dropped and a WARNING is logged. While it
// waits, Receive reads the socket itself, so the completion callbacks of
// Subscribe may run on a thread inside Receive as well as on the client's
// own thread.
//
// Send() validates the topic (throws MqttError, sends nothing, when it is not a
// valid topic name). While connected it waits for room in the outgoing
// buffer; while disconnected it buffers up to a limit and throws when full.
// Publications of a thread that also receives leave together when it next
// waits in Receive, at the latest after 10 ms; those of other threads at once.
//
// Send() and Receive() may be called from different threads at once.
class MqttAsyncWrapper {
public:
    explicit MqttAsyncWrapper(const std::string& clientId);
    ~MqttAsyncWrapper();
    MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
    MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

    void Connect(bool cleanSession, MQTTAsync_onSuccess* onConnected, MQTTAsync_onFailure* onFailed);
    void Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onDone,
                   MQTTAsync_onFailure* onFailed);
    void Unsubscribe(const std::string& filter);

    // timeoutMs 0 waits without limit; otherwise throws MqttError when nothing
    // matching arrives in time.
    MqttMessage Receive(const std::string& filter, int timeoutMs);

    void Send(const std::string& topic, const std::string& payload, Qos qos, bool retain);
    void Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos, bool retain);

    // Completion callbacks to pass to Connect and Subscribe; onFailure logs a WARNING.
    static void onSuccess(void* context, MQTTAsync_successData* response);
    static void onFailure(void* context, MQTTAsync_failureData* response);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel::mosquitto
