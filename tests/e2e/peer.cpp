#include "peer.h"

#include <atomic>

namespace test_support {

using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::MqttError;
using quorvel::mosquitto::Qos;

std::string text(const quorvel::mosquitto::MqttMessage& m) {
    return std::string(m.payload.begin(), m.payload.end());
}

Peer::Peer(const std::string& id) : client_(std::make_unique<MqttAsyncWrapper>(id)) {
    client_->Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
}

void Peer::publish(const std::string& topic, const std::string& payload, bool retain) {
    client_->Send(topic, payload, Qos::AtMostOnce, retain);
}

void Peer::subscribe(const std::string& filter) {
    client_->Subscribe(filter, Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
}

void Peer::wait_until_subscribed(const std::string& probe_topic) {
    for (int i = 0; i < 400; ++i) {
        publish(probe_topic, "probe");
        try {
            client_->Receive(probe_topic, 50);
        } catch (const MqttError&) {
            continue;
        }
        publish(probe_topic, "last");
        while (text(client_->Receive(probe_topic, 10000)) != "last") {
        }
        return;
    }
    throw MqttError("subscription never became live: " + probe_topic, MqttError::Code::timed_out);
}

quorvel::mosquitto::MqttMessage Peer::receive(const std::string& filter, std::chrono::milliseconds deadline) {
    return client_->Receive(filter, static_cast<int>(deadline.count()));
}

std::map<std::string, std::string> retained_devices_tree() {
    static std::atomic<int> n{0};
    Peer peer("tree-reader-" + std::to_string(++n));
    peer.subscribe("/devices/#");
    // Retained messages come right after the SUBACK, before any live probe.
    const std::string probe = "/devices/~probe";
    std::map<std::string, std::string> tree;
    for (int i = 0; i < 400; ++i) {
        peer.publish(probe, "probe");
        try {
            for (;;) {
                const auto m = peer.client().Receive("/devices/#", 50);
                if (m.topic == probe) return tree;
                // A live empty publication (a marker cleared while reading) removes the topic.
                if (m.payload.empty()) {
                    tree.erase(m.topic);
                } else {
                    tree[m.topic] = text(m);
                }
            }
        } catch (const MqttError&) {
        }
    }
    throw MqttError("could not read the retained tree", MqttError::Code::timed_out);
}

}  // namespace test_support
