#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <cstdint>
#include <memory>

namespace quorvel {

// The watchdog thread: after 5 s, one sweep every 90 s, for ever. Holds its
// own reference to the client, so the client outlives it.
void sync_timeouts(std::shared_ptr<mosquitto::MqttAsyncWrapper> client);

// One sweep: under m_mutex, publishes every registered control's error
// marker judged against one reading of the clock. A failing publish is
// logged and the sweep goes on with the next control.
void sweep_markers(mosquitto::MqttAsyncWrapper& client);
// The same with m_mutex already held by the caller; with_values: each
// marker followed by the control's last value, where it has one.
void publish_markers(mosquitto::MqttAsyncWrapper& client, std::int64_t now, bool with_values = false);

}  // namespace quorvel
