// Shows the /devices tree as it changes: a table redrawn in place on a
// terminal, a line per change otherwise.
//   esdg-tree-view   (broker from MQTT_BROKER)
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

namespace {

using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::MqttError;
using quorvel::mosquitto::Qos;
using steady = std::chrono::steady_clock;

struct Control {
    std::string value = "-";
    std::string error;
    int order = 0;
    steady::time_point changed{};
};

using Tree = std::map<std::string, std::map<std::string, Control>>;

volatile std::sig_atomic_t stopping = 0;

std::string age(steady::time_point t) {
    if (t == steady::time_point{}) return "never";
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(steady::now() - t).count();
    return s < 120 ? fmt::format("{} s ago", s) : fmt::format("{} min ago", s / 60);
}

std::string clock_text() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &parts);
    return buf;
}

void draw(const Tree& tree, const std::string& broker) {
    std::string out = "\x1b[H\x1b[2J";
    out += fmt::format("Device tree on {}    {}    (Ctrl-C stops)\n\n", broker, clock_text());
    out +=
        fmt::format("{:<14} {:<10} {:>10}  {:<6} {}\n", "DEVICE", "CONTROL", "VALUE", "ERROR", "LAST CHANGE");
    for (const auto& [device, controls] : tree) {
        std::multimap<int, std::pair<std::string, const Control*>> ordered;
        for (const auto& [name, c] : controls) ordered.emplace(c.order, std::make_pair(name, &c));
        for (const auto& [order, entry] : ordered) {
            const Control& c = *entry.second;
            const bool stale = c.error == "r";
            out += fmt::format("{:<14} {:<10} {:>10}  {}{:<6}{} {}\n", device, entry.first, c.value,
                               stale ? "\x1b[31m" : "", stale ? "r" : "", stale ? "\x1b[0m" : "",
                               age(c.changed));
        }
    }
    if (tree.empty()) out += "(nothing announced yet)\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

// Applies one message to the tree; false when it changes nothing shown.
bool apply(Tree& tree, const std::string& topic, const std::string& payload) {
    const std::string root = "/devices/";
    const auto controls = topic.find("/controls/");
    if (topic.compare(0, root.size(), root) != 0 || controls == std::string::npos) return false;
    const auto device = topic.substr(root.size(), controls - root.size());
    auto rest = topic.substr(controls + 10);
    const auto meta = rest.find("/meta/");
    auto& c = tree[device][rest.substr(0, meta)];
    if (meta == std::string::npos) {
        c.value = payload;
        c.changed = steady::now();
    } else if (rest.substr(meta + 6) == "error") {
        c.error = payload;
    } else if (rest.substr(meta + 6) == "order") {
        c.order = std::atoi(payload.c_str());
    }
    return true;
}

}  // namespace

int main() {
    std::signal(SIGINT, [](int) { stopping = 1; });
    std::signal(SIGTERM, [](int) { stopping = 1; });
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const char* env = std::getenv("MQTT_BROKER");
    const std::string broker = env && *env ? env : "tcp://127.0.0.1:1883";
    MqttAsyncWrapper client("esdg-tree-view");
    client.Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    client.Subscribe("/devices/#", Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess,
                     &MqttAsyncWrapper::onFailure);
    Tree tree;
    while (!stopping) {
        try {
            const auto m = client.Receive("/devices/#", 1000);
            const std::string payload(m.payload.begin(), m.payload.end());
            if (apply(tree, m.topic, payload) && !terminal) {
                std::printf("%s %s = %s\n", clock_text().c_str(), m.topic.c_str(),
                            payload.empty() ? "(cleared)" : payload.c_str());
                std::fflush(stdout);
            }
        } catch (const MqttError&) {
            // a second without changes: redraw the ages
        }
        if (terminal) draw(tree, broker);
    }
    return 0;
}
