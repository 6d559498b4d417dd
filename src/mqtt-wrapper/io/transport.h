#pragma once

// One connection to the broker: a non-blocking TCP socket with
// TCP_NODELAY and a small queue of unsent bytes, or a Unix socket, with TLS
// over it for a TLS address.
//
// Concurrency: none of its own. open() and close() run on the I/O thread
// while no other thread uses the transport; read() and write() run under
// the lock of the link that owns it.

#include "mqtt-wrapper/common/broker_address.h"
#include "mqtt-wrapper/io/tls.h"

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace quorvel::mosquitto {

class Transport {
public:
    Transport() = default;
    ~Transport() { close(); }
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    Transport(Transport&& other) noexcept : fd_(other.fd_), tls_(std::move(other.tls_)) { other.fd_ = -1; }
    Transport& operator=(Transport&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            tls_ = std::move(other.tls_);
            other.fd_ = -1;
        }
        return *this;
    }

    // Resolves, connects and, given a TLS context, shakes hands; waits at
    // most until the deadline, or until abort_fd becomes readable. Returns
    // why it failed (unresolved, unreachable, tls or stopped), or nothing
    // once open.
    std::optional<Closed> open(const BrokerAddress& address, const TlsContext* tls,
                               std::chrono::steady_clock::time_point deadline, int abort_fd);
    // How the bytes travel, for records: "" or " over TLSv1.3, <cipher>".
    std::string description() const;
    void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Bytes moved, 0 when the socket would block, -1 when the connection is gone.
    ssize_t read(char* data, std::size_t size);
    ssize_t write(const char* data, std::size_t size);
    // Bytes written that the socket still holds: not yet taken by the other
    // end (TCP: not yet acknowledged). 0 when it cannot tell.
    std::size_t unsent() const;
    // Why TLS failed on a read or write (the broker's alert, OpenSSL's
    // reason), or empty.
    std::string failure() const { return tls_ ? tls_->failure() : std::string(); }
    // Input read from the socket that a poll of it no longer shows.
    bool buffered() const { return tls_ && tls_->buffered(); }
    // No more writes; the broker sees the end of the stream.
    void shutdown_write();

private:
    int fd_ = -1;
    std::unique_ptr<TlsStream> tls_;
};

}  // namespace quorvel::mosquitto
