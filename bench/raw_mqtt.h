#pragma once

// A minimal MQTT 3.1.1 client on a blocking socket with the small-packet
// delay off, for the load tools only: QoS 0, no reconnection, no keep-alive.

#include "packet_kit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace raw_mqtt {

class Client {
public:
    Client(int port, const std::string& client_id) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("cannot connect to the broker");
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        out_ = packet_kit::connect(client_id, true, 0);  // no keep-alive
        flush();
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void subscribe(std::string_view filter) {
        out_ += packet_kit::subscribe(1, filter, 0);
        flush();
    }

    // Queued until flush().
    void publish(std::string_view topic, std::string_view payload, bool retain) {
        out_ += packet_kit::publish(topic, payload, 0, 0, false, retain);
    }

    void flush() {
        std::size_t done = 0;
        while (done < out_.size()) {
            const auto n = ::write(fd_, out_.data() + done, out_.size() - done);
            if (n <= 0) throw std::runtime_error("broker closed the connection");
            done += static_cast<std::size_t>(n);
        }
        out_.clear();
    }

    // A read() waits at most this long.
    void set_read_timeout(int ms) {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    // Reads what is there and calls on_publish(topic, payload, retained) per
    // PUBLISH; false when the connection is closed.
    template <class F>
    bool read(F&& on_publish) {
        char buf[65536];
        const auto n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        if (n <= 0) return false;
        in_.append(buf, static_cast<std::size_t>(n));
        std::size_t pos = 0;
        packet_kit::Frame frame;
        while (packet_kit::next_frame(std::string_view(in_).substr(pos), frame)) {
            if ((frame.first_byte >> 4) == 3) {
                const auto body = frame.body;
                const std::size_t tlen =
                    (static_cast<std::size_t>(static_cast<unsigned char>(body[0])) << 8) |
                    static_cast<unsigned char>(body[1]);
                on_publish(body.substr(2, tlen), body.substr(2 + tlen), (frame.first_byte & 0x01) != 0);
            }
            pos += frame.size;
        }
        in_.erase(0, pos);
        return true;
    }

private:
    int fd_ = -1;
    std::string in_;
    std::string out_;
};

}  // namespace raw_mqtt
