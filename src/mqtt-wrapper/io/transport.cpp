#include "mqtt-wrapper/io/transport.h"

#include <fmt/format.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel::mosquitto {

namespace {

constexpr int receive_buffer_bytes = 208 * 1024;
// What the kernel keeps unsent beyond what is in flight. Its default grows
// to megabytes, which a slow link takes minutes to send: a new reading, or
// a PINGREQ, would wait behind them.
constexpr int unsent_bytes = 64 * 1024;

// Waits for the socket to become writable; false on timeout or abort.
bool wait_writable(int fd, std::chrono::steady_clock::time_point deadline, int abort_fd) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return false;
        pollfd p[2] = {{fd, POLLOUT, 0}, {abort_fd, POLLIN, 0}};
        const int n = ::poll(p, 2, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno != EINTR) return false;
        if (n > 0 && (p[1].revents & POLLIN)) return false;
        if (n > 0 && p[0].revents) return true;
    }
}

// Connects a fresh non-blocking socket; false with errno set.
bool connect_socket(int fd, const sockaddr* address, socklen_t length,
                    std::chrono::steady_clock::time_point deadline, int abort_fd) {
    if (::connect(fd, address, length) == 0) return true;
    if (errno != EINPROGRESS && errno != EAGAIN) return false;
    if (!wait_writable(fd, deadline, abort_fd)) {
        errno = ETIMEDOUT;
        return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
    errno = err;
    return err == 0;
}

}  // namespace

std::optional<Closed> Transport::open(const BrokerAddress& address, const TlsContext* tls,
                                      std::chrono::steady_clock::time_point deadline, int abort_fd) {
    close();
    if (address.kind == BrokerAddress::Kind::unix_socket) {
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        std::memcpy(un.sun_path, address.path.c_str(),
                    address.path.size() + 1);  // length checked when parsed
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0 ||
            !connect_socket(fd_, reinterpret_cast<const sockaddr*>(&un), sizeof un, deadline, abort_fd)) {
            Closed failure{CloseCode::unreachable, fmt::format("{}: {}", address.path, std::strerror(errno))};
            close();
            return failure;
        }
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (rc != 0) {
        return Closed{CloseCode::unresolved,
                      fmt::format("cannot resolve {}: {}", address.host, ::gai_strerror(rc))};
    }
    Closed failure{CloseCode::unreachable, "no address"};
    for (const addrinfo* a = found; a; a = a->ai_next) {
        fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0) continue;
        // A fixed receive buffer (set before connecting, so that TCP offers
        // the window it allows): input held back waits at the broker, not in
        // megabytes of kernel memory here. 208 KiB, the most a process may set
        // by default (net.core.rmem_max), which the kernel doubles; at 64 KiB
        // a message's latency at low rates grew by a quarter.
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
        if (connect_socket(fd_, a->ai_addr, a->ai_addrlen, deadline, abort_fd)) break;
        failure.text = std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
    }
    ::freeaddrinfo(found);
    if (fd_ < 0) return failure;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent_bytes, sizeof unsent_bytes);
    if (!tls) return std::nullopt;
    tls_ = std::make_unique<TlsStream>(*tls, fd_, address.host);
    auto failed = tls_->handshake(deadline, abort_fd);
    if (failed) close();
    return failed;
}

std::string Transport::description() const {
    return tls_ ? " over " + tls_->description() : "";
}

void Transport::close() {
    tls_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

ssize_t Transport::read(char* data, std::size_t size) {
    if (tls_) return tls_->read(data, size);
    for (;;) {
        const ssize_t n = ::recv(fd_, data, size, 0);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return -1;
    }
}

ssize_t Transport::write(const char* data, std::size_t size) {
    if (tls_) return tls_->write(data, size);
    for (;;) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

std::size_t Transport::unsent() const {
    int n = 0;
    if (fd_ < 0 || ::ioctl(fd_, SIOCOUTQ, &n) != 0 || n < 0) return 0;
    return static_cast<std::size_t>(n);
}

void Transport::shutdown_write() {
    if (tls_) tls_->close_notify();
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

}  // namespace quorvel::mosquitto
