// A client that only counts what it is asked to publish, for the
// micro-benchmarks: same header as the real library, linked instead of it.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <atomic>

namespace quorvel::mosquitto {

std::atomic<unsigned long> counted_bytes{0};

struct MqttAsyncWrapper::Impl {};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string&) {}
MqttAsyncWrapper::~MqttAsyncWrapper() = default;
void MqttAsyncWrapper::Connect(bool, MQTTAsync_onSuccess*, MQTTAsync_onFailure*) {}
void MqttAsyncWrapper::Subscribe(const std::string&, Qos, MQTTAsync_onSuccess*, MQTTAsync_onFailure*) {}
void MqttAsyncWrapper::Unsubscribe(const std::string&) {}
MqttMessage MqttAsyncWrapper::Receive(const std::string&, int) {
    throw MqttError("nothing to receive", MqttError::Code::timed_out);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos, bool) {
    counted_bytes.fetch_add(topic.size() + payload.size(), std::memory_order_relaxed);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos, bool) {
    counted_bytes.fetch_add(topic.size() + payload.size(), std::memory_order_relaxed);
}

void MqttAsyncWrapper::WaitForOutputRoom() {}

bool MqttAsyncWrapper::IsConnected() const {
    return true;
}

void MqttAsyncWrapper::onSuccess(void*, MQTTAsync_successData*) {}
void MqttAsyncWrapper::onFailure(void*, MQTTAsync_failureData*) {}

}  // namespace quorvel::mosquitto
