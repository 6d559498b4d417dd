#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <string>

namespace quorvel {

// Handles one received message; takes m_mutex itself. Throws on any fault of
// the message; the caller logs it.
void handle_data_message(mosquitto::MqttAsyncWrapper& client, const mosquitto::MqttMessage& message);

// The client's supersede key of a data message (see SetSupersede): its
// device and the names of its controls, so that under overload a newer
// reading of the same controls replaces a held older one. Only a message
// that the handler takes whole has one: one it would drop or fail, and log,
// is never replaced.
bool data_message_key(const mosquitto::MqttMessage& message, std::string& key);

}  // namespace quorvel
