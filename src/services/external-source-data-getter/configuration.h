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

// Publish one remote io's name, and one of its controls' type, readonly
// flag and order (0-based), as the configuration announced them.
void announce_name(mosquitto::MqttAsyncWrapper& client, const announced_io& io);
void announce_control(mosquitto::MqttAsyncWrapper& client, const announced_io& io, std::size_t i);
// About how many bytes the announcement of a control takes, for pacing.
inline std::size_t announced_bytes(const announced_io& io, std::size_t i) {
    return 3 * (io.id.size() + io.name(i).size() + 40);
}

}  // namespace quorvel
