#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

namespace quorvel {

// Handles one received message; takes m_mutex itself. Throws on any fault of
// the message; the caller logs it.
void handle_data_message(mosquitto::MqttAsyncWrapper& client, const mosquitto::MqttMessage& message);

}  // namespace quorvel
