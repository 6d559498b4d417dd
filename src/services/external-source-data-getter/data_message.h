#pragma once

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvel {

// Handles one received message; takes m_mutex itself. Throws on any fault of
// the message; the caller logs it.
void handle_data_message(mosquitto::MqttAsyncWrapper& client, const mosquitto::MqttMessage& message);

// The client's supersede key of a data message (see SetSupersede): its
// device and the names of its controls, so that under overload a newer
// reading of the same controls replaces a held older one. Only a message
// that the handler takes whole has one: one it would drop or fail, and log,
// is never replaced.
bool data_message_key(const mosquitto::MqttMessage& message, std::string& key);

// Data messages that failed only because the client could not take their
// publications (its buffer full: the broker away, or reading nothing). Each
// keeps its own record; a run of them adds one WARNING with their number and
// reason when the next message is handled, or once a minute while it lasts,
// and never more than once a minute. For the message loop's thread only.
class RefusedMessages {
public:
    void refused(const std::string& reason);
    void handled();

private:
    void report(std::int64_t now);

    std::size_t count_ = 0;  // since the last report
    std::string reason_;
    std::int64_t first_ = 0;  // of those
    std::optional<std::int64_t> last_report_;
};

}  // namespace quorvel
