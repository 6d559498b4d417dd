// End-to-end load on the service (or on the stand-in bridge): a source
// publishes data messages whose "avg" is a sequence number, a sink matches
// every published value back to its message. Source and sink speak MQTT on
// raw sockets with the small-packet delay off, so that they measure the
// bridge and not themselves.
//   esdg-load --port P --phase latency|sustained|overload --count N
//             [--rate R] [--window W] [--devices D] [--controls C]
//             [--service-pid P] [--broker-pid P]
// The configuration must already be in force.
#include "raw_mqtt.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

struct Options {
    int port = 1883;
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
        if (k == "--port") o.port = std::stoi(v);
        if (k == "--phase") o.phase = v;
        if (k == "--count") o.count = std::stol(v);
        if (k == "--rate") o.rate = std::stol(v);
        if (k == "--window") o.window = std::stol(v);
        if (k == "--devices") o.devices = std::stoi(v);
        if (k == "--controls") o.controls = std::stoi(v);
        if (k == "--service-pid") o.service_pid = std::stol(v);
        if (k == "--broker-pid") o.broker_pid = std::stol(v);
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

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const long n = o.count;
    raw_mqtt::Client source(o.port, "esdg-load-source");
    raw_mqtt::Client sink(o.port, "esdg-load-sink");
    sink.subscribe("/devices/+/controls/+");
    sink.set_read_timeout(100);

    auto message = [&](long seq) {
        std::string data;
        for (int c = 0; c < o.controls; ++c)
            data += fmt::format("{}\"c{}\":{{\"avg\":{}}}", c ? "," : "", c, seq);
        return fmt::format(R"({{"version":1,"io_id":"io{}","timestamp":{},"data":{{{}}}}})",
                           (seq < 0 ? 0 : seq) % o.devices, static_cast<long>(std::time(nullptr)), data);
    };

    std::vector<steady::time_point> sent_at(static_cast<std::size_t>(n));
    std::vector<int> got(static_cast<std::size_t>(n));
    std::vector<double> latencies_ms;
    latencies_ms.reserve(static_cast<std::size_t>(n * o.controls));
    std::atomic<bool> warm{false};
    std::atomic<bool> source_done{false};
    std::atomic<long> complete{0};
    long values = 0;
    steady::time_point last_value{};

    std::thread sink_thread([&] {
        auto quiet_since = steady::now();
        for (;;) {
            bool any = false;
            if (!sink.read([&](std::string_view, std::string_view payload, bool retained) {
                    any = true;
                    if (retained) return;  // left over from an earlier run
                    const long seq = std::atol(std::string(payload).c_str());
                    if (seq < 0 || payload.empty() || payload[0] == '-') {
                        warm = true;
                        return;
                    }
                    if (seq >= n) return;
                    const auto now = steady::now();
                    latencies_ms.push_back(std::chrono::duration<double, std::milli>(
                                               now - sent_at[static_cast<std::size_t>(seq)])
                                               .count());
                    last_value = now;
                    ++values;
                    if (++got[static_cast<std::size_t>(seq)] == o.controls) ++complete;
                })) {
                return;
            }
            if (any) quiet_since = steady::now();
            if (complete == n) return;
            if (source_done && steady::now() - quiet_since > std::chrono::seconds(2)) return;
        }
    });

    // Warm-up: a value must come back before measuring.
    for (int i = 0; !warm; ++i) {
        if (i > 150) {
            std::fprintf(stderr, "no value comes back\n");
            std::_Exit(1);
        }
        source.publish("/qv/bridge/thirdparty_data/io0", message(-1), false);
        source.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

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
        source.publish("/qv/bridge/thirdparty_data/io" + std::to_string(seq % o.devices), text, false);
        source.flush();
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
        expected - values, expected, pct(0.5), pct(0.99), latencies_ms.empty() ? 0.0 : latencies_ms.back(),
        o.service_pid ? status_kb(o.service_pid, "VmHWM:") : 0L, cpu * 100000.0 / static_cast<double>(n),
        100.0 * broker / seconds);
    return 0;
}
