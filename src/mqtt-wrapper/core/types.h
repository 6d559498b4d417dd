#pragma once

// The types that every layer of the client shares with its users: the
// quality of service, a received message, the one error type and the
// callback types. At the bottom of the library: it includes none of it.

#include "mqtt-wrapper/export.h"

#include <stdexcept>
#include <string>
#include <vector>

// Completion data handed to the callbacks; opaque to callers.
struct MQTTAsync_successData;
struct MQTTAsync_failureData;
typedef void MQTTAsync_onSuccess(void* context, MQTTAsync_successData* response);
typedef void MQTTAsync_onFailure(void* context, MQTTAsync_failureData* response);
typedef void MQTTAsync_connectionLost(void* context, char* cause);

namespace quorvel::mosquitto {

enum class Qos : int { AtMostOnce = 0, AtLeastOnce = 1, ExactlyOnce = 2 };

struct MqttMessage {
    std::string topic;
    std::vector<unsigned char> payload;
};

// Under overload, a held message may be replaced by a newer one of the same
// topic and the same key, which must then carry all that the older one did.
// Fills key and returns true for a message that may replace or be replaced;
// runs on the thread that reads the socket, with the client's lock on the
// connection held: it must be quick and must not call the client. What it
// throws counts as no key.
typedef bool MqttSupersedeKey(const MqttMessage& message, std::string& key);

// Every failure of the client is one of these: a refused topic or address, a
// full offline buffer, a timed-out Receive, a client being destroyed.
class MQTT_WRAPPER_API MqttError : public std::runtime_error {
public:
    // code(): a publication refused because the buffer of waiting ones is
    // full (the broker is away, or reads nothing); it may be made again later.
    static constexpr int buffer_full = 1;
    // code(): Receive found nothing matching within its timeout.
    static constexpr int timed_out = 2;

    explicit MqttError(const std::string& what, int code = 0) : std::runtime_error(what), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

}  // namespace quorvel::mosquitto
