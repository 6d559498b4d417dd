#pragma once

// A test's own MQTT client next to the service under test.

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace test_support {

class Peer {
public:
    explicit Peer(const std::string& id);
    void publish(const std::string& topic, const std::string& payload, bool retain = false);
    void subscribe(const std::string& filter);
    // Waits until a live subscription to filter delivers a probe published
    // under probe_topic (which must match filter), and drains the probes.
    void wait_until_subscribed(const std::string& probe_topic);
    quorvel::mosquitto::MqttMessage receive(const std::string& filter,
                                            std::chrono::milliseconds deadline = std::chrono::seconds(10));
    quorvel::mosquitto::MqttAsyncWrapper& client() { return *client_; }

private:
    std::unique_ptr<quorvel::mosquitto::MqttAsyncWrapper> client_;
};

// What the broker retains under "/devices/#" right now: topic -> payload.
std::map<std::string, std::string> retained_devices_tree();

std::string text(const quorvel::mosquitto::MqttMessage& m);

}  // namespace test_support
