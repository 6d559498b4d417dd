#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <vector>

namespace quorvel {

// Reads the configuration document and announces its remote ios; runs once,
// on the main thread, before the watchdog exists. Throws on a malformed document.
void apply_configuration(mosquitto::MqttAsyncWrapper& client, const std::vector<unsigned char>& payload);

}  // namespace quorvel
