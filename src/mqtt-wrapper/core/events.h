#pragma once

// What the protocol core hands out, in the order it happened: a CONNACK
// that accepts or refuses, a received message, the outcome of a
// subscription, a notice for the record, and the end of a connection with
// its code. Close codes also name why a connection could not be made, so
// that every layer above the core decides on them, never on texts.

#include "mqtt-wrapper/core/types.h"

#include <cstdint>
#include <string>
#include <variant>

namespace quorvel::mosquitto {

enum class CloseCode {
    protocol_violation,  // the broker broke a rule of MQTT 3.1.1
    refused,             // CONNACK refused the connection
    no_connack,          // no answer to CONNECT in time
    no_ping_answer,      // no PINGRESP in time
    output_stalled,      // the broker read nothing for a keep-alive
    closed_by_peer,      // the stream ended, or a read failed
    io,                  // a write failed
    tls,                 // TLS failed: the handshake, the certificate, an alert
    unresolved,          // the broker's name does not resolve
    unreachable,         // nothing took the connection
    stopped,             // the client closed it: it is being destroyed
};

// Why a connection ended or could not be made: the code to act on and the
// text for the record.
struct Closed {
    CloseCode code;
    std::string text;
};

// A completion's code: the QoS granted, or why it failed. The callbacks'
// data carries its number.
enum class CompletionCode : int {
    granted_qos0 = 0,
    granted_qos1 = 1,
    granted_qos2 = 2,
    refused_by_broker = -1,
    connection_lost = -2,
};

// A subscription's outcome, for its callbacks.
struct Completion {
    MQTTAsync_onSuccess* on_done;
    MQTTAsync_onFailure* on_failed;
    std::uint16_t token;
    CompletionCode code;
    std::string message;  // why it failed; empty on success
};

// CONNACK accepted the connection.
struct Connected {
    bool session_present;
};

// CONNACK refused it with this return code (1 to 5); Closed follows.
struct Refused {
    int code;
};

// Something to log as a warning: a message skipped, or dropped.
struct Notice {
    std::string text;
};

using Event = std::variant<Connected, Refused, MqttMessage, Completion, Notice, Closed>;

}  // namespace quorvel::mosquitto
