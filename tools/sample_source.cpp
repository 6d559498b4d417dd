// A sample outside source for the demonstration: publishes a retained
// configuration of a few devices, then readings every few seconds. The
// boiler and the greenhouse report fresh readings, the old meter only
// readings older than the staleness limit, and the greenhouse's co2 sensor
// never reports.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <thread>

namespace {

using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::Qos;

constexpr auto period = std::chrono::seconds(3);
constexpr long meter_delay_s = 1200;

const char* const configuration = R"({
  "version": 2,
  "remote_ios": [
    {"id": "boiler", "types": ["temp", "pressure"]},
    {"id": "greenhouse", "types": ["temp", "hum", "co2"]},
    {"id": "old-meter", "types": ["energy"]}
  ]
})";

volatile std::sig_atomic_t stopping = 0;

void publish(MqttAsyncWrapper& client, const std::string& id, long ts, const std::string& data) {
    client.Send("/qv/bridge/thirdparty_data/" + id,
                fmt::format(R"({{"version": 1, "io_id": "{}", "timestamp": {}, "data": {}}})", id, ts, data),
                Qos::AtMostOnce, false);
}

}  // namespace

int main() {
    std::signal(SIGINT, [](int) { stopping = 1; });
    std::signal(SIGTERM, [](int) { stopping = 1; });
    MqttAsyncWrapper client("esdg-sample-source");
    client.Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    client.Send("/qv/bridge/configuration", std::string(configuration), Qos::AtMostOnce, true);
    for (long tick = 0; !stopping; ++tick) {
        const long now = static_cast<long>(std::time(nullptr));
        const double wave = std::sin(static_cast<double>(tick) / 5.0);
        publish(client, "boiler", now,
                fmt::format(R"({{"temp": {{"avg": [{:.1f}, {:.1f}]}}, "pressure": {{"avg": {:.2f}}}}})",
                            30 + 2 * wave, 32 + 2 * wave, 1.5 + wave / 10));
        publish(
            client, "greenhouse", now,
            fmt::format(R"({{"temp": {{"avg": {:.1f}}}, "hum": {{"avg": {}}}}})", 24 - wave, 60 + tick % 7));
        publish(client, "old-meter", now - meter_delay_s,
                fmt::format(R"({{"energy": {{"avg": {}}}}})", 1520 + tick));
        for (auto left = period; left.count() > 0 && !stopping; left -= std::chrono::seconds(1)) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    return 0;
}
