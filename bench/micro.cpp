// Micro-benchmarks of the service's hot paths against a client that only counts.
#include "data_message.h"
#include "registry.h"
#include "tree.h"

#include "mqtt-wrapper/core/topic_rules.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <ctime>
#include <string>

using quorvel::mosquitto::MqttAsyncWrapper;

static void DataMessage(benchmark::State& state) {
    const int controls = static_cast<int>(state.range(0));
    quorvel::abroad_ios.clear();
    for (int d = 0; d < 100; ++d) {
        for (int c = 0; c < controls; ++c)
            quorvel::abroad_ios["io" + std::to_string(d)]["c" + std::to_string(c)] = 0;
    }
    std::string data;
    for (int c = 0; c < controls; ++c)
        data += fmt::format("{}\"c{}\":{{\"avg\":[21.5,{}]}}", c ? "," : "", c, c);
    const std::string payload = fmt::format(R"({{"version":1,"io_id":"io42","timestamp":{},"data":{{{}}}}})",
                                            static_cast<long>(std::time(nullptr)), data);
    MqttAsyncWrapper client("bench");
    const quorvel::mosquitto::MqttMessage message{"/qv/bridge/thirdparty_data/io42",
                                                  {payload.begin(), payload.end()}};
    for (auto _ : state) quorvel::handle_data_message(client, message);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DataMessage)->Arg(1)->Arg(4)->Arg(32);

// The key under which a newer message may replace a held one (overload); 200
// controls make a message of 4 KiB, as in the robustness suite's burst.
static void SupersedeKey(benchmark::State& state) {
    const int controls = static_cast<int>(state.range(0));
    std::string data;
    for (int c = 0; c < controls; ++c) data += fmt::format("{}\"c{}\":{{\"avg\":12345}}", c ? "," : "", c);
    const std::string payload = fmt::format(R"({{"version":1,"io_id":"io42","timestamp":{},"data":{{{}}}}})",
                                            static_cast<long>(std::time(nullptr)), data);
    const quorvel::mosquitto::MqttMessage message{"/qv/bridge/thirdparty_data/io42",
                                                  {payload.begin(), payload.end()}};
    std::string key;
    for (auto _ : state) benchmark::DoNotOptimize(quorvel::data_message_key(message, key));
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(SupersedeKey)->Arg(4)->Arg(200)->Unit(benchmark::kMicrosecond);

static void WatchdogSweep(benchmark::State& state) {
    const long controls = state.range(0);
    quorvel::abroad_ios.clear();
    for (long i = 0; i < controls; ++i) {
        quorvel::abroad_ios["io" + std::to_string(i / 10)]["c" + std::to_string(i % 10)] =
            i % 2 ? 0 : std::time(nullptr);
    }
    MqttAsyncWrapper client("bench");
    for (auto _ : state) quorvel::sweep_markers(client);
    state.SetItemsProcessed(state.iterations() * controls);
}
BENCHMARK(WatchdogSweep)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

static void TopicMatch(benchmark::State& state) {
    const std::string filter = state.range(0) ? "/qv/bridge/configuration" : "/#";
    const std::string topic = "/qv/bridge/thirdparty_data/io42";
    for (auto _ : state) benchmark::DoNotOptimize(quorvel::mosquitto::topic_matches(filter, topic));
}
BENCHMARK(TopicMatch)->Arg(0)->Arg(1);

static void TopicValidation(benchmark::State& state) {
    const std::string topic = "/devices/greenhouse/controls/temperature/meta/error";
    for (auto _ : state) benchmark::DoNotOptimize(quorvel::mosquitto::topic_name_problem(topic));
}
BENCHMARK(TopicValidation);

BENCHMARK_MAIN();
