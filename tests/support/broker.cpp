#include "broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifndef MOSQUITTO_BINARY
#define MOSQUITTO_BINARY "/usr/sbin/mosquitto"
#endif

namespace test_support {

namespace {

// Ports below the kernel's ephemeral range, where no bind to port 0 and no
// outgoing connection lands: a broker can stop and start again on its port
// while other tests run. Each is free when chosen and given out once here.
int free_port() {
    static std::mutex mutex;
    static std::set<int> given;
    static std::minstd_rand random(static_cast<unsigned>(::getpid()) * 7919u ^
                                   static_cast<unsigned>(std::time(nullptr)));
    std::lock_guard<std::mutex> lock(mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int port = 20000 + static_cast<int>(random() % 12000);
        if (given.count(port) != 0) continue;
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) break;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free) {
            given.insert(port);
            return port;
        }
    }
    throw std::runtime_error("no free port");
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool thread_sleeps(pid_t tid) {
    const auto stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'S';
}

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/esdg-test-XXXXXX";
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void run_command(const std::string& command) {
    const std::string dir = make_temp_dir();
    const std::string out = dir + "/out";
    const int rc = std::system((command + " >'" + out + "' 2>&1").c_str());
    const std::string text = read_file(out);
    remove_tree(dir);
    if (rc != 0) throw std::runtime_error("'" + command + "' failed: " + text);
}

void end_with_parent(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // it died before the line above
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

Broker::Broker() : Broker(BrokerOptions{}) {}

Broker::Broker(const BrokerOptions& options) : dir_(make_temp_dir()) {
    if (!options.logins.empty()) {
        const std::string file = dir_ + "/passwords";
        for (const auto& [user, password] : options.logins) {
            run_command("mosquitto_passwd -b " + std::string(std::ifstream(file).good() ? "" : "-c ") + "'" +
                        file + "' '" + user + "' '" + password + "'");
        }
        ::chmod(file.c_str(), 0644);
    }
    // Another test process may bind a port between its choice here and the
    // broker's bind: then other ports.
    for (int attempt = 1;; ++attempt) {
        configure(options);
        try {
            start();
            return;
        } catch (const std::runtime_error&) {
            if (attempt == 5 || log().find("Address already in use") == std::string::npos) {
                remove_tree(dir_);
                throw;
            }
            std::filesystem::remove(dir_ + "/broker.log");
        }
    }
}

void Broker::configure(const BrokerOptions& options) {
    port_ = free_port();
    // Started as root, it stays root: a change of user would clear the signal
    // that ends it with the test process.
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "user root\n"
         << "per_listener_settings true\n"
         << "persistence false\n"
         << "set_tcp_nodelay true\n"
         << "log_dest file " << dir_ << "/broker.log\n"
         << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
         << "log_type subscribe\nlog_type unsubscribe\n"
         << "connection_messages true\n"
         << "listener " << port_ << " 127.0.0.1\n"
         << "allow_anonymous true\n";
    const std::string file = dir_ + "/passwords";
    if (!options.logins.empty()) {
        login_port_ = free_port();
        conf << "listener " << login_port_ << " 127.0.0.1\n"
             << "allow_anonymous false\n"
             << "password_file " << file << "\n";
    }
    if (options.unix_socket) {
        conf << "listener 0 " << socket_path() << "\n"
             << "allow_anonymous true\n";
    }
    if (!options.tls_certificate.empty()) {
        tls_port_ = free_port();
        conf << "listener " << tls_port_ << " 127.0.0.1\n"
             << "certfile " << options.tls_certificate << "\n"
             << "keyfile " << options.tls_key << "\n";
        if (options.logins.empty()) {
            conf << "allow_anonymous true\n";
        } else {
            conf << "allow_anonymous false\npassword_file " << file << "\n";
        }
        if (!options.tls_client_ca.empty()) {
            conf << "cafile " << options.tls_client_ca << "\nrequire_certificate true\n";
        }
    }
    conf << options.extra;
}

Broker::~Broker() {
    stop();
    test_support::remove_tree(dir_);
}

void Broker::start() {
    if (pid_ > 0) return;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        end_with_parent(parent);
        // What it says before its log file is open goes there as well.
        const int log = ::open((dir_ + "/broker.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        const std::string conf = dir_ + "/mosquitto.conf";
        ::execl(MOSQUITTO_BINARY, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Its own "running" record, not just something on the port: it is logged
    // once every listener is open.
    bool exited = false;
    const bool up = eventually([&] {
        int status = 0;
        exited = exited || ::waitpid(pid_, &status, WNOHANG) == pid_;
        return exited || count_of(log(), " running\n") > runs_;
    });
    if (exited || !up || !accepts(port_)) {
        if (!exited) stop();
        pid_ = -1;
        throw std::runtime_error("broker did not start: " + log());
    }
    ++runs_;
}

void Broker::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);  // a frozen broker ends too
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

void Broker::freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void Broker::thaw() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

std::string Broker::uri() const {
    return "tcp://127.0.0.1:" + std::to_string(port_);
}

std::string Broker::log() const {
    return read_file(dir_ + "/broker.log");
}

bool Broker::wait_for_log(const std::string& needle, std::chrono::milliseconds deadline) const {
    return eventually([&] { return log().find(needle) != std::string::npos; }, deadline);
}

void use_broker(const Broker& broker) {
    ::setenv("MQTT_BROKER", broker.uri().c_str(), 1);
}

}  // namespace test_support
