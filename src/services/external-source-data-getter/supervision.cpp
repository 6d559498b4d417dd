#include "supervision.h"

#include "clock.h"
#include "registry.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace quorvel {

std::atomic<unsigned long> messages_handled{0};

namespace {

std::atomic<bool> configured{false};
constexpr unsigned heartbeat_s = 10;  // without a watchdog: how current the status stays

bool systemd_listens() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

void notify(const std::string& state) {
    sd_notify(0, state.c_str());
}

// Every heartbeat: the status, and a watchdog ping that only a thread which
// got the registry lock can send.
void heartbeat(std::shared_ptr<mosquitto::MqttAsyncWrapper> client, unsigned period_s, bool watchdog) {
    for (;;) {
        sleep_seconds(period_s);
        const auto status = status_line(*client, configured);
        notify("STATUS=" + status + (watchdog ? "\nWATCHDOG=1" : ""));
    }
}

}  // namespace

std::string with_thousands(unsigned long n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

std::string status_line(const mosquitto::MqttAsyncWrapper& client, bool is_configured) {
    std::size_t devices = 0;
    std::size_t controls = 0;
    std::size_t stale = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = current_time();
        devices = abroad_ios.size();
        for (const auto& device : abroad_ios) {
            controls += device.second.size();
            stale += static_cast<std::size_t>(
                std::count_if(device.second.begin(), device.second.end(),
                              [&](const auto& c) { return is_stale(c.second, now); }));
        }
    }
    if (!client.IsConnected()) return "waiting for the broker";
    if (!is_configured) return "waiting for the configuration";
    return fmt::format("connected to {}; {} devices, {} controls, {} stale; {} messages", client.ServerUri(),
                       devices, controls, stale, with_thousands(messages_handled.load()));
}

void report_ready(const std::shared_ptr<mosquitto::MqttAsyncWrapper>& client) {
    if (!systemd_listens()) return;
    notify("READY=1\nSTATUS=" + status_line(*client, configured));
    std::uint64_t watchdog_us = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdog_us) > 0;
    // Three pings per watchdog period leave room for one late one.
    const unsigned period_s =
        watchdog ? std::max<unsigned>(1, static_cast<unsigned>(watchdog_us / 3'000'000)) : heartbeat_s;
    std::thread(heartbeat, client, period_s, watchdog).detach();
}

void report_configured(const mosquitto::MqttAsyncWrapper& client) {
    configured = true;
    if (systemd_listens()) notify("STATUS=" + status_line(client, true));
}

}  // namespace quorvel
