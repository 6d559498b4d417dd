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

// Every failure of the client is one of these, its code saying which.
class MQTT_WRAPPER_API MqttError : public std::runtime_error {
public:
    enum class Code {
        buffer_full,  // a publication refused: the buffer of waiting ones is full (the
                      // broker is away, or reads nothing); it may be made again later
        timed_out,    // Receive found nothing matching within its timeout
        destroyed,    // the client is being destroyed
        bad_topic,    // a topic or filter a broker would refuse, or a QoS out of range
        too_large,    // a payload more than MQTT carries
        bad_address,  // MQTT_BROKER malformed, or of a scheme the client has not
        bad_login,    // the password file cannot be read, or the client id is too long
        tls_setup,    // a TLS file cannot be loaded, or OpenSSL cannot be set up
    };

    MqttError(const std::string& what, Code code) : std::runtime_error(what), code_(code) {}
    Code code() const noexcept { return code_; }

private:
    Code code_;
};

}  // namespace quorvel::mosquitto
