#pragma once

#include "registry.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <cstddef>
#include <vector>

namespace quorvel {

// Reads the configuration document and announces its remote ios; runs once,
// on the main thread, before the watchdog exists. Throws on a malformed
// document, once what came before the fault is announced.
void apply_configuration(mosquitto::MqttAsyncWrapper& client, std::vector<unsigned char> payload);

// Publishes one remote io's name and its controls' type, readonly flag and
// order, as the configuration did: the name, then each control (0-based).
void announce(mosquitto::MqttAsyncWrapper& client, const announced_io& io);
void announce_name(mosquitto::MqttAsyncWrapper& client, const announced_io& io);
void announce_control(mosquitto::MqttAsyncWrapper& client, const announced_io& io, std::size_t i);

}  // namespace quorvel
