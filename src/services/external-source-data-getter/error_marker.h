#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <string>

namespace quorvel {

// Publishes a control's error marker, retained: "r" (string form) when
// stale, a zero-length payload (byte-vector form) that clears it otherwise.
void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale);

}  // namespace quorvel
