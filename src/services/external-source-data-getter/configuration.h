#pragma once

#include "registry.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <vector>

namespace quorvel {

inline constexpr const char* configuration_topic = "/qv/bridge/configuration";

// Reads the configuration document and announces its remote ios; runs once,
// on the main thread, before the watchdog exists. Throws on a malformed
// document, once what came before the fault is announced.
void apply_configuration(mosquitto::MqttAsyncWrapper& client, std::vector<unsigned char> payload);

}  // namespace quorvel
