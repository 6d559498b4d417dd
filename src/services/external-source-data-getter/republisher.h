#pragma once

// A broker may come back without its retained messages (no persistence, a
// fail-over): after every new connection the device tree is published
// again, announcements first, then each control's error marker by the
// staleness rule, all under m_mutex so that no value comes in between.

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <memory>

namespace quorvel {

// The client's connection callback (its context is the client): counts the
// connection and wakes the client's republisher. Runs on the client's
// thread, so it never waits for m_mutex.
void note_connection(void* client, MQTTAsync_successData* data);
unsigned long connections_so_far(const mosquitto::MqttAsyncWrapper& client);

// The republisher thread: once per connection after the seen one.
void republish_after_connections(std::shared_ptr<mosquitto::MqttAsyncWrapper> client, unsigned long seen);

// One republication of the whole tree; takes m_mutex itself.
void republish_tree(mosquitto::MqttAsyncWrapper& client);

}  // namespace quorvel
