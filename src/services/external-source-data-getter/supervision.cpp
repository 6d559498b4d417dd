#include "supervision.h"

#include "clock.h"
#include "configuration.h"
#include "registry.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

namespace quorvel {

std::atomic<unsigned long> messages_handled{0};

namespace {

std::atomic<bool> configured{false};
std::atomic<bool> configuration_overdue{false};
constexpr unsigned heartbeat_s = 10;  // without a watchdog: how current the counts stay

// A status change waiting for the heartbeat; change_mutex is a leaf (see
// registry.h). Never destroyed: the detached heartbeat may outlive main's
// return.
std::mutex& change_mutex = *new std::mutex;
std::condition_variable& change_made = *new std::condition_variable;
bool changed = false;

bool systemd_listens() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

void notify(const std::string& state) {
    sd_notify(0, state.c_str());
}

// Every period: the status, and a watchdog ping that only a thread which got
// the registry lock can send. After each change: the status alone. A thread
// of its own: the watchdog thread may spend minutes in one pass over the
// tree on a slow link, waiting for room in the client's output between
// slices, and systemd must still be pinged on time, from a thread that
// takes the registry lock and never waits on the link.
void heartbeat(std::shared_ptr<mosquitto::MqttAsyncWrapper> client, unsigned period_s, bool watchdog) {
    using steady = std::chrono::steady_clock;
    auto next = steady::now() + std::chrono::seconds(period_s);
    for (;;) {
        bool was_changed = false;
        {
            std::unique_lock<std::mutex> lock(change_mutex);
            change_made.wait_until(lock, next, [] { return changed; });
            was_changed = std::exchange(changed, false);
        }
        const bool beat = steady::now() >= next;
        if (!beat && !was_changed) continue;
        const auto status = "STATUS=" + status_line(*client, configured);
        if (was_changed) notify(status);
        if (beat) {
            next = steady::now() + std::chrono::seconds(period_s);
            if (watchdog)
                notify(status + "\nWATCHDOG=1");
            else if (!was_changed)
                notify(status);
        }
    }
}

// "1 device", "2 devices", "1,000 devices".
std::string counted(unsigned long n, const char* noun) {
    return with_thousands(n) + " " + noun + (n == 1 ? "" : "s");
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
        std::lock_guard<fair_mutex> lock(m_mutex);
        const auto now = current_time();
        devices = abroad_ios.size();
        for (const auto& device : abroad_ios) {
            controls += device.second.size();
            stale += static_cast<std::size_t>(
                std::count_if(device.second.begin(), device.second.end(),
                              [&](const auto& c) { return is_stale(c.second.timestamp, now); }));
        }
    }
    if (!client.IsConnected()) return "waiting for the broker";
    if (!is_configured) {
        if (!configuration_overdue) return "waiting for the configuration";
        return fmt::format("waiting for the configuration on {}, none after a minute connected",
                           configuration_topic);
    }
    return fmt::format("connected to {}; {}, {}, {} stale; {}{}", client.ServerUri(),
                       counted(devices, "device"), counted(controls, "control"), with_thousands(stale),
                       counted(messages_handled.load(), "message"),
                       client.InputHeldBack() ? "; messages come faster than handled" : "");
}

void report_ready(const std::shared_ptr<mosquitto::MqttAsyncWrapper>& client) {
    if (!systemd_listens()) return;
    notify("READY=1\nSTATUS=" + status_line(*client, configured));
    std::uint64_t watchdog_us = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdog_us) > 0;
    // Six pings per watchdog period: one may wait for the registry lock
    // while a holder's Send waits up to 5 s for a stalled output.
    const unsigned period_s =
        watchdog ? std::max<unsigned>(1, static_cast<unsigned>(watchdog_us / 6'000'000)) : heartbeat_s;
    std::thread(heartbeat, client, period_s, watchdog).detach();
}

void report_configured() {
    configured = true;
    configuration_overdue = false;
    status_changed();
}

void report_configuration_overdue() {
    configuration_overdue = true;
    status_changed();
}

void status_changed() {
    {
        std::lock_guard<std::mutex> lock(change_mutex);
        changed = true;
    }
    change_made.notify_all();
}

}  // namespace quorvel
