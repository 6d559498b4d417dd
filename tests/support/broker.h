#pragma once

// A private mosquitto on a free loopback port, with its own configuration
// and log in a temporary directory; stopped by its process id.

#include <sys/types.h>
#include <chrono>
#include <string>

namespace test_support {

class Broker {
public:
    Broker();  // started
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    void start();   // waits until it accepts connections
    void stop();    // waits until it has exited
    void freeze();  // stops reading and writing (SIGSTOP); sockets stay open
    void thaw();
    int port() const { return port_; }
    std::string uri() const;
    std::string log() const;
    bool wait_for_log(const std::string& needle, std::chrono::milliseconds deadline) const;

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Sets MQTT_BROKER for clients created in this process.
void use_broker(const Broker& broker);

// Polls until pred() is true or the deadline passes; returns pred().
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return pred();
        struct timespec ts {
            0, 5 * 1000 * 1000
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}

// Whether the thread is blocked (state S in /proc), e.g. waiting in a call.
bool thread_sleeps(pid_t tid);

std::string make_temp_dir();
std::string read_file(const std::string& path);

}  // namespace test_support
