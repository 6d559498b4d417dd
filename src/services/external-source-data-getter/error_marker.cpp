#include "error_marker.h"

#include <vector>

namespace quorvel {

namespace {

const std::string stale_marker = "r";
const std::vector<unsigned char> fresh_marker;

}  // namespace

void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale) {
    if (stale) {
        client.Send(topic, stale_marker, mosquitto::Qos::AtMostOnce, true);
    } else {
        client.Send(topic, fresh_marker, mosquitto::Qos::AtMostOnce, true);
    }
}

}  // namespace quorvel
