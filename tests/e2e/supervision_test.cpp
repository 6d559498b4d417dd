// The service under a stand-in for systemd: a notification socket that
// records what it says, and standard error as the journal's stream.
#include "broker.h"
#include "peer.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

using test_support::Broker;
using test_support::Peer;
using test_support::ServiceProcess;
using namespace std::chrono_literals;

namespace {

// What systemd's end of NOTIFY_SOCKET would receive.
class NotifySocket {
public:
    NotifySocket() : dir_(test_support::make_temp_dir()) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = dir_ + "/notify";
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
        test_support::remove_tree(dir_);
    }
    // Waits for a datagram that contains the text (or is the text, when
    // exact); keeps every datagram read.
    bool wait_for(const std::string& text, std::chrono::milliseconds deadline, bool exact = false) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            for (const auto& d : seen) {
                if (exact ? d == text : d.find(text) != std::string::npos) return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) seen.emplace_back(buffer, static_cast<std::size_t>(n));
        }
    }
    std::vector<std::string> seen;

private:
    std::string dir_;
    int fd_ = -1;
};

std::string all(const std::vector<std::string>& datagrams) {
    std::string out;
    for (const auto& d : datagrams) out += "[" + d + "]\n";
    return out;
}

}  // namespace

TEST(Supervision, ReadyStatusWatchdogAndJournalPriorities) {
    Broker broker;
    test_support::use_broker(broker);
    NotifySocket systemd;
    ::setenv("WATCHDOG_USEC", "3000000", 1);  // a ping every second
    ServiceProcess service(broker.uri(), true);
    ::unsetenv("WATCHDOG_USEC");

    // Ready at once, without a configuration, which may never come. A status
    // that comes with a change has no watchdog ping; the heartbeat's have.
    ASSERT_TRUE(systemd.wait_for("READY=1", 20s)) << all(systemd.seen) << service.log();
    EXPECT_EQ(systemd.seen.front().rfind("READY=1\nSTATUS=waiting for the ", 0), 0u) << all(systemd.seen);
    if (systemd.seen.front().find("broker") != std::string::npos) {
        EXPECT_TRUE(systemd.wait_for("STATUS=waiting for the configuration", 20s, true)) << all(systemd.seen);
    }
    ASSERT_TRUE(systemd.wait_for("STATUS=waiting for the configuration\nWATCHDOG=1", 20s))
        << all(systemd.seen);

    Peer peer("test-peer");
    peer.publish("/qv/bridge/configuration",
                 R"({"version": 2, "remote_ios": [{"id": "io", "types": ["t", "u"]}]})", true);
    const std::string connected = "STATUS=connected to " + broker.uri() + "; 1 device, 2 controls, ";
    ASSERT_TRUE(systemd.wait_for(connected + "2 stale; 0 messages", 30s, true)) << all(systemd.seen);
    // Its subscription to the data is made with the configuration; the broker drops what comes before.
    ASSERT_TRUE(broker.wait_for_log("mqtt-external-source-data-getter 0 /qv/bridge/thirdparty_data/io", 20s));
    peer.publish("/qv/bridge/thirdparty_data/io", R"({"version": 1, "io_id": "io", "timestamp": )" +
                                                      std::to_string(std::time(nullptr)) +
                                                      R"(, "data": {"t": {"avg": 1}}})");
    peer.publish("/qv/bridge/thirdparty_data/io", "broken");
    EXPECT_TRUE(systemd.wait_for(connected + "1 stale; 2 messages\nWATCHDOG=1", 20s)) << all(systemd.seen);

    // The journal gets priorities instead of time stamps.
    ASSERT_TRUE(service.wait_for_log("perform: Ошибка обработки: broken", 20s)) << service.log();
    const auto log = service.log();
    EXPECT_NE(log.find("<6>INFO src/mqtt-wrapper/io/io_loop:"), std::string::npos) << log;
    EXPECT_NE(
        log.find(
            "<3>ERROR src/services/external-source-data-getter/main:154 perform: Ошибка обработки: broken\n"),
        std::string::npos)
        << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.substr(0, 1), "<") << line;

    broker.stop();
    EXPECT_TRUE(systemd.wait_for("STATUS=waiting for the broker", 20s, true)) << all(systemd.seen);
}

TEST(Supervision, OutsideSystemdTheLogKeepsItsTimeStamps) {
    Broker broker;
    ::setenv("JOURNAL_STREAM", "1:2", 1);  // inherited, but stderr is a file now
    ServiceProcess service(broker.uri());
    ::unsetenv("JOURNAL_STREAM");
    ASSERT_TRUE(service.wait_for_log("Connected to", 20s)) << service.log();
    const auto log = service.log();
    EXPECT_EQ(log.find('<'), std::string::npos) << log;
    EXPECT_EQ(log.rfind("20", 0), 0u) << log;
}
