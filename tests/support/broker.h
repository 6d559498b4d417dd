#pragma once

// A private mosquitto on a free loopback port, with its own configuration
// and log in a temporary directory; stopped by its process id.

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// Listeners beside the anonymous one on 127.0.0.1 that every broker has.
struct BrokerOptions {
    // user -> password: a TCP listener that takes only these logins.
    std::vector<std::pair<std::string, std::string>> logins;
    bool unix_socket = false;
    // PEM files: a TLS listener on 127.0.0.1 with this certificate and key,
    // taking the logins above when there are any, and client certificates
    // from this CA when it is set.
    std::string tls_certificate;
    std::string tls_key;
    std::string tls_client_ca;
    std::string extra;  // more configuration, appended as given
};

class Broker {
public:
    Broker();  // started
    explicit Broker(const BrokerOptions& options);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    void start();   // waits until it accepts connections
    void stop();    // waits until it has exited
    void freeze();  // stops reading and writing (SIGSTOP); sockets stay open
    void thaw();
    int port() const { return port_; }
    int login_port() const { return login_port_; }
    int tls_port() const { return tls_port_; }
    std::string socket_path() const { return dir_ + "/mqtt.sock"; }
    const std::string& dir() const { return dir_; }
    std::string uri() const;
    std::string log() const;
    bool wait_for_log(const std::string& needle, std::chrono::milliseconds deadline) const;

private:
    void configure(const BrokerOptions& options);  // new ports, the configuration file

    std::string dir_;
    int port_ = 0;
    int login_port_ = 0;
    int tls_port_ = 0;
    pid_t pid_ = -1;
    std::size_t runs_ = 0;  // "running" records in its log so far
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

// In a forked child, before exec: the child ends with the test process, even
// when that is killed by a signal and runs no destructor.
void end_with_parent(pid_t parent);

// How many times needle occurs in text (overlapping ones included).
std::size_t count_of(const std::string& text, const std::string& needle);

std::string make_temp_dir();
void remove_tree(const std::string& path);
// Runs a shell command; throws with its output when it fails.
void run_command(const std::string& command);
std::string read_file(const std::string& path);

}  // namespace test_support
