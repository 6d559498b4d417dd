#pragma once

// A hostile MQTT server for end-to-end tests: a loopback listener with its
// own thread that accepts connections one after another and runs the test's
// script on each. A script reads what the client sends, writes any bytes,
// stalls, resets or floods; serve_until plays a correct broker meanwhile.
// Every packet the client sends is recorded for the test to look at.
//
// Concurrency: the script runs on the server's thread; the record is read
// from the test's thread under the server's mutex. The destructor ends any
// wait of the script (it unwinds) and joins the thread.

#include "packet_kit.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

using PacketType = packet_kit::Type;

// One packet as the client framed it.
struct Packet {
    PacketType type;
    unsigned flags;
    std::string body;

    // The packet id of SUBSCRIBE, UNSUBSCRIBE, the acks and PUBLISH of QoS 1 or 2; 0 otherwise.
    std::uint16_t id() const;
    // PUBLISH's topic, the first filter of SUBSCRIBE or UNSUBSCRIBE, CONNECT's client id.
    std::string topic() const;
    std::string payload() const;  // of PUBLISH
};

// Owns a file descriptor.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1);

private:
    int fd_;
};

class HostileServer;

// One accepted connection, handed to the script. What the client sends is
// read as packets; a wait throws when the client closes the connection (the
// script ends quietly) or when the server is being destroyed.
class Connection {
public:
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::size_t index() const { return index_; }  // 0 for the first accepted

    // The next packet; throws std::runtime_error when none comes in time.
    Packet read_packet(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Answers as a broker (CONNACK, SUBACK and the retained messages of the
    // filter, UNSUBACK, PINGRESP) until done(packet) holds for a packet it
    // has answered; returns that packet.
    Packet serve_until(const std::function<bool(const Packet&)>& done);
    void write(const std::string& bytes);
    // Writes nothing and discards what arrives; true once the client has
    // closed the connection, false at the deadline.
    bool stall(std::chrono::milliseconds deadline);
    // Closes at once with a reset (SO_LINGER 0).
    void reset();
    // Writes unit again and again as fast as the client reads, at most
    // max_units times, for about max_time (a unit started is finished), or
    // until the client closes; returns the units written whole.
    std::size_t flood(const std::string& unit, std::size_t max_units, std::chrono::milliseconds max_time);

private:
    friend class HostileServer;
    Connection(HostileServer& server, int fd, std::size_t index);
    ~Connection() = default;

    Packet next_packet(std::chrono::steady_clock::time_point deadline);
    bool take_packet(Packet& packet);
    void answer(const Packet& packet);
    short wait(short events, std::chrono::steady_clock::time_point deadline);
    bool read_some();  // false when the client has closed

    HostileServer& server_;
    UniqueFd fd_;
    const std::size_t index_;
    std::string in_;
};

class HostileServer {
public:
    using Script = std::function<void(Connection&)>;

    // Listens on a free loopback port at once; retained holds the messages
    // (topic, payload) that serve_until delivers after a SUBSCRIBE of the topic.
    explicit HostileServer(Script script, std::map<std::string, std::string> retained = {});
    ~HostileServer();
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    int port() const { return port_; }
    std::string uri() const;
    std::size_t connections() const;  // accepted so far
    std::vector<Packet> packets(std::size_t connection) const;

private:
    friend class Connection;
    void run();
    void record(std::size_t connection, const Packet& packet);

    const Script script_;
    const std::map<std::string, std::string> retained_;
    int port_ = 0;  // set by listen_fd_'s initialisation, so declared before it
    UniqueFd listen_fd_;
    UniqueFd stop_fd_;  // readable once the server is being destroyed
    mutable std::mutex mutex_;
    std::vector<std::vector<Packet>> record_;  // guarded by mutex_, one entry per connection
    std::thread thread_;
};

}  // namespace test_support
