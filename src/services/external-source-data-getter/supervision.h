#pragma once

// Tells systemd how the service is doing, through sd_notify: READY=1 once
// the client runs, a STATUS= line kept current, and WATCHDOG=1 from a
// heartbeat that takes the registry lock, so that a deadlock ends in a
// restart. Outside systemd (no NOTIFY_SOCKET) it does nothing and starts no
// thread.

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <atomic>
#include <memory>
#include <string>

namespace quorvel {

// Data messages handled since start, for the status line.
extern std::atomic<unsigned long> messages_handled;

// The status line: "waiting for the broker", "waiting for the configuration"
// (naming its topic once it is overdue) or "connected to <uri>; 12 devices, 48 controls, 3 stale; 1,204
// messages", and "; messages come faster than handled" while the client holds input back. Takes m_mutex for
// the counts.
std::string status_line(const mosquitto::MqttAsyncWrapper& client, bool configured);

// READY=1 with the first status; then the heartbeat thread when systemd
// listens, which alone sends every later status.
void report_ready(const std::shared_ptr<mosquitto::MqttAsyncWrapper>& client);
// The configuration is applied: the status says so at once.
void report_configured();
// A minute connected and still no configuration: the status names its topic.
void report_configuration_overdue();
// The connection came or went: the status says so at once. Only wakes the
// heartbeat, so the client's own thread may call it.
void status_changed();

// 1234567 -> "1,234,567".
std::string with_thousands(unsigned long n);

}  // namespace quorvel
