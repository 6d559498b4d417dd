#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <string>

namespace quorvel {

// Publishes a control's error marker, retained: "r" (string form) when
// stale, a zero-length payload (byte-vector form) that clears it otherwise.
void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale);

// Publishes a control's value, retained, as the text "{}" makes of it.
void publish_value(mosquitto::MqttAsyncWrapper& client, const std::string& topic, double value);

}  // namespace quorvel
