// The real service binary against a real broker.
#include "broker.h"
#include "service_process.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::Qos;
using test_support::Broker;
using test_support::ServiceProcess;
using namespace std::chrono_literals;

namespace {

const std::string record_154 = "ERROR src/services/external-source-data-getter/main:154 perform: Ошибка обработки: ";

class Service : public testing::Test {
protected:
    Broker broker;
    std::unique_ptr<MqttAsyncWrapper> peer;

    void SetUp() override {
        test_support::use_broker(broker);
        peer = std::make_unique<MqttAsyncWrapper>("test-peer");
        peer->Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    }

    void publish(const std::string& topic, const std::string& payload, bool retain = false) {
        peer->Send(topic, payload, Qos::AtMostOnce, retain);
    }
};

}  // namespace

TEST_F(Service, ConnectsRunsTheBootstrapAndLogsEachMalformedMessageOnce) {
    publish("/qv/bridge/configuration", R"({"version": 2, "remote_ios": []})", true);
    ServiceProcess service(broker.uri());
    ASSERT_TRUE(broker.wait_for_log("as mqtt-external-source-data-getter", 20s)) << broker.log();
    // Subscribe, pause, unsubscribe, subscribe again: then the loop runs.
    ASSERT_TRUE(broker.wait_for_log("mqtt-external-source-data-getter /qv/bridge/configuration\n", 30s))
        << broker.log();
    ASSERT_TRUE(test_support::eventually([&] {
        const auto log = broker.log();
        const auto unsub = log.find("mqtt-external-source-data-getter /qv/bridge/configuration\n");
        return log.find("mqtt-external-source-data-getter 0 /qv/bridge/configuration", unsub) !=
               std::string::npos;
    }));

    // Messages on the configuration topic now reach the loop like any other.
    const std::string bad[] = {"not json", "{\"version\": 1", "", "line\nbreak"};
    for (const auto& b : bad) publish("/qv/bridge/configuration", b);
    publish("/qv/bridge/configuration", "end");
    ASSERT_TRUE(service.wait_for_log(record_154 + "end", 20s)) << service.log();
    EXPECT_EQ(service.count_in_log(record_154 + "not json\n"), 1u);
    EXPECT_EQ(service.count_in_log(record_154 + "{\"version\": 1\n"), 1u);
    EXPECT_EQ(service.count_in_log(record_154 + "\n"), 1u);
    EXPECT_EQ(service.count_in_log(record_154 + "line\\nbreak\n"), 1u);
    EXPECT_TRUE(service.running());
}

TEST_F(Service, WaitsForABrokerThatStartsLater) {
    broker.stop();
    ServiceProcess service(broker.uri());
    ASSERT_TRUE(service.wait_for_log("Cannot connect to", 20s)) << service.log();
    broker.start();
    ASSERT_TRUE(broker.wait_for_log("as mqtt-external-source-data-getter", 20s)) << broker.log();
    EXPECT_TRUE(service.running());
}
