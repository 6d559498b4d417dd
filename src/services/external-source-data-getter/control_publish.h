#pragma once

// How a control's marker and value are published, for every path (a data
// message, the watchdog's sweep, the tree published again), and what a
// publication the client refused leaves owed.

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <cstdint>
#include <exception>
#include <string>

namespace quorvel {

// Publishes a control's error marker, retained: "r" (string form) when
// stale, a zero-length payload (byte-vector form) that clears it otherwise.
void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale);

// Publishes a control's value, retained, as the text "{}" makes of it.
void publish_value(mosquitto::MqttAsyncWrapper& client, const std::string& topic, double value);

// With m_mutex held: every registered control's error marker judged against
// now; with_values: each followed by the control's last value, where it has
// one. A failing publication does not stop the others; the failures are
// logged in one record at the end.
void publish_markers(mosquitto::MqttAsyncWrapper& client, std::int64_t now, bool with_values = false);

// A publication the client refused because its buffer was full (the broker
// away, or reading nothing) leaves the tree owed: the watchdog publishes it
// whole at its next sweep. True when e was such a refusal.
bool owe_tree_if_refused(const std::exception& e);
// Whether the tree is owed; clears it.
bool take_owed_tree();

}  // namespace quorvel
