#include "hostile_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace test_support {

namespace {

using steady = std::chrono::steady_clock;

constexpr std::size_t read_chunk_bytes = 64 * 1024;
constexpr std::size_t flood_chunk_bytes = 64 * 1024;
constexpr std::size_t connect_header_bytes = 10;  // protocol name, level, flags, keep-alive

// How a script's wait ends when it is no failure of the test.
struct ClientClosed {};
struct ServerStopping {};

std::uint16_t u16_at(const std::string& s, std::size_t at) {
    if (at + 2 > s.size()) return 0;
    return static_cast<std::uint16_t>((static_cast<unsigned char>(s[at]) << 8) |
                                      static_cast<unsigned char>(s[at + 1]));
}

// A length-prefixed string at the offset; empty when it does not fit.
std::string string_at(const std::string& s, std::size_t at) {
    const std::size_t size = u16_at(s, at);
    return at + 2 + size <= s.size() ? s.substr(at + 2, size) : std::string();
}

int publish_qos(unsigned flags) {
    return static_cast<int>((flags >> 1) & 0x03);
}

int listen_on_loopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
    }
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::uint16_t Packet::id() const {
    switch (type) {
        case PacketType::publish:
            return publish_qos(flags) > 0 ? u16_at(body, 2 + u16_at(body, 0)) : 0;
        case PacketType::connect:
        case PacketType::connack:
        case PacketType::pingreq:
        case PacketType::pingresp:
        case PacketType::disconnect:
            return 0;
        default:
            return u16_at(body, 0);
    }
}

std::string Packet::topic() const {
    switch (type) {
        case PacketType::publish:
            return string_at(body, 0);
        case PacketType::subscribe:
        case PacketType::unsubscribe:
            return string_at(body, 2);
        case PacketType::connect:
            return string_at(body, connect_header_bytes);
        default:
            return {};
    }
}

std::string Packet::payload() const {
    if (type != PacketType::publish) return {};
    const std::size_t at = 2 + u16_at(body, 0) + (publish_qos(flags) > 0 ? 2 : 0);
    return body.substr(std::min(at, body.size()));
}

Connection::Connection(HostileServer& server, int fd, std::size_t index)
    : server_(server), fd_(fd), index_(index) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Packet Connection::read_packet(std::chrono::milliseconds deadline) {
    return next_packet(steady::now() + deadline);
}

Packet Connection::serve_until(const std::function<bool(const Packet&)>& done) {
    for (;;) {
        const Packet p = next_packet(steady::time_point::max());
        answer(p);
        if (done(p)) return p;
    }
}

void Connection::answer(const Packet& p) {
    switch (p.type) {
        case PacketType::connect:
            return write(packet_kit::connack());
        case PacketType::subscribe: {
            write(packet_kit::suback(p.id(), 0));
            const auto retained = server_.retained_.find(p.topic());
            if (retained == server_.retained_.end()) return;
            return write(packet_kit::publish(retained->first, retained->second, 0, 0, false, true));
        }
        case PacketType::unsubscribe:
            return write(packet_kit::ack(PacketType::unsuback, p.id()));
        case PacketType::pingreq:
            return write(packet_kit::pingresp());
        default:
            return;  // the service publishes with QoS 0 only: nothing to acknowledge
    }
}

Packet Connection::next_packet(steady::time_point deadline) {
    Packet p{};
    while (!take_packet(p)) {
        if (wait(POLLIN, deadline) == 0) {
            if (steady::now() >= deadline) throw std::runtime_error("no packet from the client in time");
        } else if (!read_some()) {
            throw ClientClosed{};
        }
    }
    return p;
}

bool Connection::take_packet(Packet& packet) {
    packet_kit::Frame frame;
    if (!packet_kit::next_frame(in_, frame)) return false;
    packet = Packet{static_cast<PacketType>(frame.first_byte >> 4), frame.first_byte & 0x0Fu,
                    std::string(frame.body)};
    in_.erase(0, frame.size);
    server_.record(index_, packet);
    return true;
}

short Connection::wait(short events, steady::time_point deadline) {
    if (fd_.get() < 0) throw std::logic_error("the connection was reset");
    for (;;) {
        int timeout = -1;
        if (deadline != steady::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            timeout = static_cast<int>(std::max<long long>(left.count() + 1, 0));
        }
        pollfd p[2] = {{fd_.get(), events, 0}, {server_.stop_fd_.get(), POLLIN, 0}};
        const int n = ::poll(p, 2, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::generic_category(), "poll");
        if (p[1].revents != 0) throw ServerStopping{};
        return p[0].revents;
    }
}

bool Connection::read_some() {
    char buffer[read_chunk_bytes];
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            in_.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void Connection::write(const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n =
            ::send(fd_.get(), bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw ClientClosed{};
        } else if ((wait(POLLIN | POLLOUT, steady::time_point::max()) & POLLIN) && !read_some()) {
            throw ClientClosed{};  // reading meanwhile, so a client blocked on its own writes goes on
        }
    }
}

bool Connection::stall(std::chrono::milliseconds deadline) {
    const auto end = steady::now() + deadline;
    for (;;) {
        if (wait(POLLIN, end) == 0) {
            if (steady::now() >= end) return false;
        } else if (!read_some()) {
            return true;
        }
        in_.clear();
    }
}

void Connection::reset() {
    const linger abort{1, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd_.reset();
}

std::size_t Connection::flood(const std::string& unit, std::size_t max_units,
                              std::chrono::milliseconds max_time) {
    if (unit.empty() || max_units == 0) return 0;
    std::string chunk;  // whole units
    while (chunk.size() < flood_chunk_bytes && chunk.size() / unit.size() < max_units) chunk += unit;
    const auto end = steady::now() + max_time;
    auto target = max_units * unit.size();
    std::size_t sent = 0;
    std::size_t at = 0;  // in chunk
    while (sent < target) {
        const bool late = steady::now() >= end;
        if (late) target = std::min(target, (sent + unit.size() - 1) / unit.size() * unit.size());
        if (sent >= target) break;
        const ssize_t n = ::send(fd_.get(), chunk.data() + at, std::min(chunk.size() - at, target - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            at = (at + static_cast<std::size_t>(n)) % chunk.size();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;  // the client has gone
        const short revents = wait(POLLIN | POLLOUT, late ? steady::time_point::max() : end);
        if ((revents & POLLIN) && !read_some()) break;
    }
    return sent / unit.size();
}

HostileServer::HostileServer(Script script, std::map<std::string, std::string> retained)
    : script_(std::move(script)),
      retained_(std::move(retained)),
      listen_fd_(listen_on_loopback(port_)),
      stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (stop_fd_.get() < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    thread_ = std::thread([this] { run(); });
}

HostileServer::~HostileServer() {
    const std::uint64_t one = 1;
    while (::write(stop_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
}

std::string HostileServer::uri() const {
    return "tcp://127.0.0.1:" + std::to_string(port_);
}

std::size_t HostileServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_.size();
}

std::vector<Packet> HostileServer::packets(std::size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < record_.size() ? record_[connection] : std::vector<Packet>{};
}

void HostileServer::record(std::size_t connection, const Packet& packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_[connection].push_back(packet);
}

void HostileServer::run() {
    for (;;) {
        pollfd p[2] = {{listen_fd_.get(), POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
        const int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || p[1].revents != 0) return;
        const int fd = ::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::size_t index = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index = record_.size();
            record_.emplace_back();
        }
        Connection connection(*this, fd, index);
        try {
            script_(connection);
        } catch (const ClientClosed&) {
        } catch (const ServerStopping&) {
            return;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "hostile server, connection " << index << ": " << e.what();
        }
    }
}

}  // namespace test_support
