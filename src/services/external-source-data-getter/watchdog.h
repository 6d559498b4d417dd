#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <memory>

namespace quorvel {

// The watchdog thread: after 5 s, one sweep every 90 s, for ever; a sweep
// after a refused publication publishes the whole tree instead. Holds its
// own reference to the client, so the client outlives it.
void sync_timeouts(std::shared_ptr<mosquitto::MqttAsyncWrapper> client);

// One sweep: publishes every registered control's error marker judged
// against one reading of the clock, in slices (see TreePass). The sweep goes
// on past a failing publish; its failures make one record.
void sweep_markers(mosquitto::MqttAsyncWrapper& client);

}  // namespace quorvel
