// End-to-end load on the service (or on the stand-in bridge): a source
// publishes data messages whose "avg" is a sequence number, a sink matches
// every published value back to its message. Source and sink speak MQTT on
// raw sockets with the small-packet delay off, so that they measure the
// bridge and not themselves.
//   esdg-load --port P --phase latency|sustained|overload|source --count N
//             [--rate R] [--window W] [--devices D] [--controls C]
//             [--seconds S] [--quiet-ms Q] [--idle-ms I]
//             [--service-pid P] [--broker-pid P]
// After the overload phase, once the sink is quiet, a fresh subscription
// counts the controls whose retained value is the last reading sent for them
// ("latest N of M"). The source phase only publishes, a round over the
// devices at a time: --count messages (0: no limit) or for --seconds (0: no
// limit; SIGTERM or SIGINT ends it after one more whole round), at --rate (0: flat
// out). It counts the latest values --quiet-ms after its last message (-1:
// not at all) and, with --idle-ms, again once the service has used no CPU
// for that long.
// The configuration must already be in force.
#include "raw_mqtt.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr auto retained_quiet = std::chrono::seconds(1);  // retained messages come at once
constexpr auto idle_poll = std::chrono::milliseconds(50);
constexpr auto idle_wait_most = std::chrono::seconds(120);
constexpr long flat_out_flush_every = 64;  // messages per write when not paced

volatile std::sig_atomic_t stop_requested = 0;

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
    double seconds = 0;
    long quiet_ms = 2000;
    long idle_ms = 0;
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
        if (k == "--seconds") o.seconds = std::stod(v);
        if (k == "--quiet-ms") o.quiet_ms = std::stol(v);
        if (k == "--idle-ms") o.idle_ms = std::stol(v);
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

std::size_t device_of(const Options& o, long seq) {
    return static_cast<std::size_t>((seq < 0 ? 0 : seq) % o.devices);
}

std::string topic_of(const Options& o, long seq) {
    return "/qv/bridge/thirdparty_data/io" + std::to_string(device_of(o, seq));
}

// Every control of the message's device reads seq.
std::string message(const Options& o, long seq) {
    std::string data;
    for (int c = 0; c < o.controls; ++c)
        data += fmt::format("{}\"c{}\":{{\"avg\":{}}}", c ? "," : "", c, seq);
    return fmt::format(R"({{"version":1,"io_id":"io{}","timestamp":{},"data":{{{}}}}})", device_of(o, seq),
                       static_cast<long>(std::time(nullptr)), data);
}

// "latest N of M": the controls whose retained value, read through a fresh
// subscription, is the last reading sent to their device, of those sent any;
// for the others the oldest reading retained, and how many had none.
std::string latest_values(const Options& o, const std::vector<long>& last_sent) {
    raw_mqtt::Client check(o.port, "esdg-load-check");
    check.subscribe("/devices/+/controls/+");
    check.set_read_timeout(100);
    const long sent =
        o.controls * std::count_if(last_sent.begin(), last_sent.end(), [](long s) { return s >= 0; });
    long seen = 0;
    long latest = 0;
    double oldest = -1;
    auto quiet_since = steady::now();
    while (seen < sent && steady::now() - quiet_since < retained_quiet) {
        const bool open = check.read([&](std::string_view topic, std::string_view payload, bool retained) {
            quiet_since = steady::now();
            int device = -1;
            int control = -1;
            if (!retained ||
                std::sscanf(std::string(topic).c_str(), "/devices/io%d/controls/c%d", &device, &control) != 2)
                return;
            if (device < 0 || static_cast<std::size_t>(device) >= last_sent.size() || control < 0 ||
                control >= o.controls || last_sent[static_cast<std::size_t>(device)] < 0)
                return;
            ++seen;
            const double value = std::strtod(std::string(payload).c_str(), nullptr);
            if (value == static_cast<double>(last_sent[static_cast<std::size_t>(device)])) {
                ++latest;
            } else if (oldest < 0 || value < oldest) {
                oldest = value;
            }
        });
        if (!open) break;
    }
    std::string text = fmt::format("latest {} of {}", latest, sent);
    if (oldest >= 0) text += fmt::format(" (oldest retained reading {})", oldest);
    if (seen < sent) text += fmt::format(" ({} without a value)", sent - seen);
    return text;
}

// Waits until the service has used no CPU for idle_ms; false at the limit.
bool wait_idle(const Options& o) {
    const auto end = steady::now() + idle_wait_most;
    auto still_since = steady::now();
    double cpu = cpu_seconds(o.service_pid);
    while (steady::now() < end) {
        std::this_thread::sleep_for(idle_poll);
        const double now_cpu = cpu_seconds(o.service_pid);
        if (now_cpu != cpu) {
            cpu = now_cpu;
            still_since = steady::now();
        } else if (steady::now() - still_since >= std::chrono::milliseconds(o.idle_ms)) {
            return true;
        }
    }
    return false;
}

void request_stop(int) {
    stop_requested = 1;
}

// The source phase: publishes only, then counts the latest values.
int run_source(const Options& o) {
    std::signal(SIGTERM, request_stop);
    std::signal(SIGINT, request_stop);
    raw_mqtt::Client source(o.port, "esdg-load-source");
    std::vector<long> last_sent(static_cast<std::size_t>(o.devices), -1);
    std::size_t smallest = 0;
    std::size_t largest = 0;
    const auto start = steady::now();
    const auto limit = std::chrono::duration<double>(o.seconds);
    long seq = 0;
    bool last_round = false;
    for (;; ++seq) {
        if (o.count > 0 && seq >= o.count) break;
        if (device_of(o, seq) == 0) {
            if (last_round || (o.seconds > 0 && steady::now() - start >= limit)) break;
            last_round = stop_requested != 0;
        }
        if (o.rate > 0)
            std::this_thread::sleep_until(start + std::chrono::microseconds(seq * 1000000 / o.rate));
        const auto text = message(o, seq);
        smallest = seq == 0 ? text.size() : std::min(smallest, text.size());
        largest = std::max(largest, text.size());
        source.publish(topic_of(o, seq), text, false);
        last_sent[device_of(o, seq)] = seq;
        if (o.rate > 0 || seq % flat_out_flush_every == 0) source.flush();
    }
    source.flush();
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    std::string latest;
    if (o.quiet_ms >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.quiet_ms));
        latest = fmt::format("; {} {:.1f} s after the last message", latest_values(o, last_sent),
                             static_cast<double>(o.quiet_ms) / 1000);
    }
    if (o.idle_ms > 0 && o.service_pid > 0) {
        const bool idle = wait_idle(o);
        latest += fmt::format("{} {} {} ({:.1f} s after it)", latest.empty() ? ";" : ",",
                              latest_values(o, last_sent),
                              idle ? fmt::format("once the service had used no CPU for {:.1f} s",
                                                 static_cast<double>(o.idle_ms) / 1000)
                                   : std::string("with the service still busy"),
                              std::chrono::duration<double>(steady::now() - start).count() - seconds);
    }
    std::printf("source in %.0f msg/s for %.1f s (%ld messages of %zu to %zu bytes)%s\n",
                static_cast<double>(seq) / seconds, seconds, seq, smallest, largest, latest.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.phase == "source") return run_source(o);
    const long n = o.count;
    raw_mqtt::Client source(o.port, "esdg-load-source");
    raw_mqtt::Client sink(o.port, "esdg-load-sink");
    sink.subscribe("/devices/+/controls/+");
    sink.set_read_timeout(100);
    std::vector<long> last_sent(static_cast<std::size_t>(o.devices), -1);

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
        source.publish(topic_of(o, -1), message(o, -1), false);
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
        const auto text = message(o, seq);
        sent_at[static_cast<std::size_t>(seq)] = steady::now();
        source.publish(topic_of(o, seq), text, false);
        source.flush();
        last_sent[device_of(o, seq)] = seq;
    }
    source_done = true;
    sink_thread.join();
    std::string latest;
    if (o.phase == "overload") latest = "  " + latest_values(o, last_sent);
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
        "%-9s in %8.0f msg/s  out %8.0f values/s%s  lost %7ld of %ld  latency p50 %6.2f p99 %6.2f max %7.2f "
        "ms"
        "  peak RSS %5ld kB  CPU %5.2f s/100k msgs  broker %3.0f%% of a core\n",
        o.phase.c_str(), static_cast<double>(n) / seconds, static_cast<double>(values) / seconds,
        latest.c_str(), expected - values, expected, pct(0.5), pct(0.99),
        latencies_ms.empty() ? 0.0 : latencies_ms.back(),
        o.service_pid ? status_kb(o.service_pid, "VmHWM:") : 0L, cpu * 100000.0 / static_cast<double>(n),
        100.0 * broker / seconds);
    return 0;
}
