#pragma once

// TLS over a connected socket, with OpenSSL: TLS 1.2 or later, the broker's
// certificate verified, its name included, against the system's trust store
// or the PEM bundle in MQTT_CA_FILE; a client certificate and key from
// MQTT_CERT_FILE and MQTT_KEY_FILE when set. No connection is ever made to
// a broker whose certificate fails.
//
// Concurrency: a context is read-only once made and may serve several
// streams; a stream has none of its own and is used like the transport that
// owns it (under the link's lock).

#include "mqtt-wrapper/common/broker_address.h"
#include "mqtt-wrapper/core/events.h"

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace quorvel::mosquitto {

// The socket under a stream, as its I/O callbacks see it. What one recv
// brings waits in input, and OpenSSL takes it as it asks for it.
struct SocketState {
    int fd = -1;
    bool drained = true;  // the last recv returned less than it asked for
    std::unique_ptr<char[]> input;
    std::size_t begin = 0;  // what waits is input[begin, end)
    std::size_t end = 0;
    bool holds() const { return begin < end; }
};

class TlsContext {
public:
    // With the address's files; throws MqttError naming one it cannot load.
    static std::shared_ptr<const TlsContext> for_address(const BrokerAddress& address);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

private:
    TlsContext();
    ssl_ctx_st* ctx_ = nullptr;
    friend class TlsStream;
};

class TlsStream {
public:
    // Over the connected non-blocking socket fd, to the broker named host.
    TlsStream(const TlsContext& context, int fd, const std::string& host);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Waits at most until the deadline, or until abort_fd becomes readable;
    // returns why it failed (OpenSSL's verify text for a certificate that
    // fails), or nothing once done.
    std::optional<Closed> handshake(std::chrono::steady_clock::time_point deadline, int abort_fd);
    std::string description() const;  // "TLSv1.3" and the cipher

    // Bytes moved, 0 when the socket would block, -1 when the connection is gone.
    ssize_t read(char* data, std::size_t size);
    ssize_t write(const char* data, std::size_t size);
    // Records read ahead or decrypted bytes wait inside, which a poll of the
    // socket does not see.
    bool buffered() const;
    void close_notify();
    // Why a read or write failed for good: the broker's alert or OpenSSL's
    // reason (e.g. "tlsv13 alert certificate required"), or empty.
    const std::string& failure() const { return failure_; }

private:
    void note_failure(int ssl_error);

    ssl_st* ssl_ = nullptr;
    SocketState socket_;
    bool want_socket_ = false;  // the last read stopped for the rest of a record
    std::string failure_;
};

}  // namespace quorvel::mosquitto
