#include "mqtt-wrapper/broker_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace quorvel::mosquitto {

namespace {

bool split_address(const std::string& uri, std::string& host, std::string& port) {
    std::string rest;
    for (const char* scheme : {"tcp://", "mqtt://"}) {
        const std::string s(scheme);
        if (uri.compare(0, s.size(), s) == 0) rest = uri.substr(s.size());
    }
    if (rest.empty()) return false;
    const auto slash = rest.find('/');
    if (slash != std::string::npos) rest.erase(slash);
    if (!rest.empty() && rest[0] == '[') {  // [IPv6]:port
        const auto close = rest.find(']');
        if (close == std::string::npos) return false;
        host = rest.substr(1, close - 1);
        port = rest.size() > close + 2 && rest[close + 1] == ':' ? rest.substr(close + 2) : "1883";
    } else {
        const auto colon = rest.rfind(':');
        host = rest.substr(0, colon);
        port = colon == std::string::npos ? "1883" : rest.substr(colon + 1);
    }
    return !host.empty();
}

bool try_connect(const addrinfo& a, int timeout_ms) {
    const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (fd < 0) return false;
    bool ok = ::connect(fd, a.ai_addr, a.ai_addrlen) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, timeout_ms) == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool broker_accepts_connections(const std::string& uri, int timeout_ms) {
    std::string host;
    std::string port;
    if (!split_address(uri, host, port)) return true;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool ok = false;
    for (const addrinfo* a = found; a && !ok; a = a->ai_next) ok = try_connect(*a, timeout_ms);
    ::freeaddrinfo(found);
    return ok;
}

}  // namespace quorvel::mosquitto
