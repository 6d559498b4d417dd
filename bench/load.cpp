// End-to-end load on the service (or on the stand-in bridge): a source
// publishes data messages whose "avg" is a sequence number, a sink matches
// every published value back to its message.
//   esdg-load --phase latency|sustained|overload --count N [--rate R]
//             [--window W] [--devices D] [--controls C]
//             [--service-pid P] [--broker-pid P]
// The broker comes from MQTT_BROKER; the configuration must already be in force.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::MqttError;
using quorvel::mosquitto::Qos;
using steady = std::chrono::steady_clock;

struct Options {
    std::string phase = "latency";
    long count = 20000;
    long rate = 2000;
    long window = 200;
    int devices = 100;
    int controls = 4;
    long service_pid = 0;
    long broker_pid = 0;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const std::string v = argv[i + 1];
        if (k == "--phase")
            o.phase = v;
        else if (k == "--count")
            o.count = std::stol(v);
        else if (k == "--rate")
            o.rate = std::stol(v);
        else if (k == "--window")
            o.window = std::stol(v);
        else if (k == "--devices")
            o.devices = std::stoi(v);
        else if (k == "--controls")
            o.controls = std::stoi(v);
        else if (k == "--service-pid")
            o.service_pid = std::stol(v);
        else if (k == "--broker-pid")
            o.broker_pid = std::stol(v);
    }
    return o;
}

double cpu_seconds(long pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long status_kb(long pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return 0;
}

MqttAsyncWrapper& connect(std::unique_ptr<MqttAsyncWrapper>& c, const std::string& id) {
    c = std::make_unique<MqttAsyncWrapper>(id);
    c->Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    return *c;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::unique_ptr<MqttAsyncWrapper> source_client;
    std::unique_ptr<MqttAsyncWrapper> sink_client;
    auto& source = connect(source_client, "esdg-load-source");
    auto& sink = connect(sink_client, "esdg-load-sink");
    sink.Subscribe("/devices/+/controls/+", Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess,
                   &MqttAsyncWrapper::onFailure);

    std::string data_body;  // the same "data" for every message, with the sequence number spliced in
    auto message = [&](long seq) {
        std::string data;
        for (int c = 0; c < o.controls; ++c)
            data += fmt::format("{}\"c{}\":{{\"avg\":{}}}", c ? "," : "", c, seq);
        return fmt::format(R"({{"version":1,"io_id":"io{}","timestamp":{},"data":{{{}}}}})", seq % o.devices,
                           static_cast<long>(std::time(nullptr)), data);
    };

    // Warm-up: a value must come back before measuring (subscriptions live).
    for (int i = 0;; ++i) {
        source.Send("/qv/bridge/thirdparty_data/io0", message(-1 - i), Qos::AtMostOnce, false);
        try {
            sink.Receive("/devices/+/controls/+", 200);
            break;
        } catch (const MqttError&) {
            if (i > 100) {
                std::fprintf(stderr, "no value comes back\n");
                return 1;
            }
        }
    }
    while (true) {  // drain warm-up values
        try {
            sink.Receive("/devices/+/controls/+", 300);
        } catch (const MqttError&) {
            break;
        }
    }

    const long n = o.count;
    std::vector<steady::time_point> sent_at(static_cast<std::size_t>(n));
    std::vector<std::atomic<int>> got(static_cast<std::size_t>(n));
    std::vector<double> latencies_ms;
    latencies_ms.reserve(static_cast<std::size_t>(n * o.controls));
    std::atomic<long> complete{0};
    std::atomic<long> values{0};
    std::atomic<bool> source_done{false};
    steady::time_point last_value{};

    std::thread sink_thread([&] {
        for (;;) {
            quorvel::mosquitto::MqttMessage m;
            try {
                m = sink.Receive("/devices/+/controls/+", source_done ? 2000 : 30000);
            } catch (const MqttError&) {
                return;  // quiet for 2 s after the last message: the rest is lost
            }
            const long seq = std::atol(std::string(m.payload.begin(), m.payload.end()).c_str());
            if (seq < 0 || seq >= n) continue;
            const auto now = steady::now();
            latencies_ms.push_back(
                std::chrono::duration<double, std::milli>(now - sent_at[static_cast<std::size_t>(seq)])
                    .count());
            last_value = now;
            ++values;
            if (++got[static_cast<std::size_t>(seq)] == o.controls) {
                if (++complete == n) return;
            }
        }
    });

    const double cpu0 = cpu_seconds(o.service_pid);
    const double broker0 = cpu_seconds(o.broker_pid);
    const auto start = steady::now();
    for (long seq = 0; seq < n; ++seq) {
        if (o.phase == "latency") {
            std::this_thread::sleep_until(start + std::chrono::microseconds(seq * 1000000 / o.rate));
        } else if (o.phase == "sustained") {
            while (seq - complete.load() >= o.window) std::this_thread::yield();
        }
        const auto text = message(seq);
        sent_at[static_cast<std::size_t>(seq)] = steady::now();
        source.Send("/qv/bridge/thirdparty_data/io" + std::to_string(seq % o.devices), text, Qos::AtMostOnce,
                    false);
    }
    source_done = true;
    sink_thread.join();
    const auto end = last_value == steady::time_point{} ? steady::now() : last_value;
    const double seconds = std::chrono::duration<double>(end - start).count();
    const double cpu = cpu_seconds(o.service_pid) - cpu0;
    const double broker = cpu_seconds(o.broker_pid) - broker0;

    std::sort(latencies_ms.begin(), latencies_ms.end());
    auto pct = [&](double p) {
        return latencies_ms.empty()
                   ? 0.0
                   : latencies_ms[static_cast<std::size_t>(p * static_cast<double>(latencies_ms.size() - 1))];
    };
    const long expected = n * o.controls;
    std::printf(
        "%-9s in %8.0f msg/s  out %8.0f values/s  lost %7ld of %ld  latency p50 %6.2f p99 %6.2f max %7.2f ms"
        "  peak RSS %5ld kB  CPU %5.2f s/100k msgs  broker %3.0f%% of a core\n",
        o.phase.c_str(), static_cast<double>(n) / seconds, static_cast<double>(values) / seconds,
        expected - values.load(), expected, pct(0.5), pct(0.99),
        latencies_ms.empty() ? 0.0 : latencies_ms.back(),
        o.service_pid ? status_kb(o.service_pid, "VmHWM:") : 0L, cpu * 100000.0 / static_cast<double>(n),
        100.0 * broker / seconds);
    return 0;
}
