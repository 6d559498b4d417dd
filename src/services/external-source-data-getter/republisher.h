#pragma once

// A broker may come back without its retained messages (no persistence, a
// fail-over), and a value written to a connection that then broke may never
// have reached it: after every new connection the republisher thread
// publishes the device tree again, announcements first, then each control's
// error marker by the staleness rule followed by its last value. It does so
// in slices (see TreePass): readings go on meanwhile, and a connection that
// comes meanwhile starts it over. So does the watchdog after a publication
// the client refused while the connection stayed.

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <memory>

namespace quorvel {

// The client's connection callback (its context is the client): counts the
// connection and wakes the client's republisher. Runs on the client's
// thread, so it never waits for m_mutex.
void note_connection(void* client, MQTTAsync_successData* data);
unsigned long connections_so_far(const mosquitto::MqttAsyncWrapper& client);

// The tree as configured has reached, or waits in the client for, the
// first `connections` connections.
void tree_sent_for(const mosquitto::MqttAsyncWrapper& client, unsigned long connections);

// Publishes the whole tree again when a connection came since it was last
// published; takes m_mutex itself, slice by slice. False when nothing was due.
bool republish_if_due(mosquitto::MqttAsyncWrapper& client);
// The same when a refused publication left the tree owed (see
// control_publish.h); the watchdog's sweep gives way to it.
bool republish_if_owed(mosquitto::MqttAsyncWrapper& client);

// The republisher thread: waits for connections and publishes the tree
// again after each.
void republish_after_connections(std::shared_ptr<mosquitto::MqttAsyncWrapper> client);

}  // namespace quorvel
