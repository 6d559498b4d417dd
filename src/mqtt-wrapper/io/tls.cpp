#include "mqtt-wrapper/io/tls.h"

#include "mqtt-wrapper/core/types.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quorvel::mosquitto {

namespace {

std::string openssl_error(const char* fallback) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return fallback;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

// One recv fills this much: many records, which OpenSSL then takes a
// header and a body at a time. Its own read-ahead would take them all, and
// move what is left to the front of its buffer before every record.
constexpr std::size_t input_bytes = 64 * 1024;

// The socket BIO of OpenSSL writes with write(), which raises SIGPIPE on a
// connection the broker closed; this one sends with MSG_NOSIGNAL. It reads
// ahead into its own buffer, and notes whether its last recv emptied the
// socket.
SocketState& state_of(BIO* bio) {
    return *static_cast<SocketState*>(BIO_get_data(bio));
}

int bio_write(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(state_of(bio).fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bio_read(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    auto& socket = state_of(bio);
    if (size <= 0) return 0;
    if (!socket.holds()) {
        const ssize_t n = ::recv(socket.fd, socket.input.get(), input_bytes, 0);
        socket.drained = n < static_cast<ssize_t>(input_bytes);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
            return static_cast<int>(n);
        }
        socket.begin = 0;
        socket.end = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(static_cast<std::size_t>(size), socket.end - socket.begin);
    std::memcpy(data, socket.input.get() + socket.begin, n);
    socket.begin += n;
    return static_cast<int>(n);
}

long bio_ctrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "mqtt socket");
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        BIO_meth_set_create(m, bio_create);
        return m;
    }();
    return method;
}

bool is_ip_address(const std::string& host) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Gives no passphrase, so OpenSSL never prompts on the terminal; notes that
// one was asked for.
MqttError setup_error(const std::string& what) {
    return MqttError(what, MqttError::Code::tls_setup);
}

int refuse_passphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return 0;
}

}  // namespace

TlsContext::TlsContext() : ctx_(SSL_CTX_new(TLS_client_method())) {
    if (!ctx_) throw setup_error("Cannot set up TLS: " + openssl_error("out of memory"));
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

std::shared_ptr<const TlsContext> TlsContext::for_address(const BrokerAddress& address) {
    std::shared_ptr<TlsContext> c(new TlsContext);
    SSL_CTX_set_min_proto_version(c->ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(c->ctx_, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(c->ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!address.ca_file.empty()) {
        const char* const ca = address.ca_file.c_str();
        if (SSL_CTX_load_verify_locations(c->ctx_, ca, nullptr) != 1) {
            throw setup_error(fmt::format("Cannot load the CA file {} (MQTT_CA_FILE): {}", ca,
                                          openssl_error("no certificate in it")));
        }
    } else if (SSL_CTX_set_default_verify_paths(c->ctx_) != 1) {
        throw setup_error("Cannot load the system's trusted certificates: " + openssl_error("unknown error"));
    }
    if (address.cert_file.empty() != address.key_file.empty())
        throw setup_error("MQTT_CERT_FILE and MQTT_KEY_FILE go together; one is not set");
    if (!address.cert_file.empty()) {
        const char* const certificate = address.cert_file.c_str();
        const char* const key = address.key_file.c_str();
        bool passphrase_asked = false;
        SSL_CTX_set_default_passwd_cb(c->ctx_, refuse_passphrase);
        SSL_CTX_set_default_passwd_cb_userdata(c->ctx_, &passphrase_asked);
        if (SSL_CTX_use_certificate_chain_file(c->ctx_, certificate) != 1) {
            throw setup_error(fmt::format("Cannot load the client certificate {} (MQTT_CERT_FILE): {}",
                                          certificate, openssl_error("unknown error")));
        }
        const bool loaded = SSL_CTX_use_PrivateKey_file(c->ctx_, key, SSL_FILETYPE_PEM) == 1 &&
                            SSL_CTX_check_private_key(c->ctx_) == 1;
        SSL_CTX_set_default_passwd_cb(c->ctx_, nullptr);
        SSL_CTX_set_default_passwd_cb_userdata(c->ctx_, nullptr);
        if (!loaded && passphrase_asked) {
            ERR_clear_error();
            throw setup_error(
                fmt::format("Cannot load the client key {} (MQTT_KEY_FILE): it is encrypted, and "
                            "the service has no passphrase; give it the key unencrypted",
                            key));
        }
        if (!loaded) {
            throw setup_error(fmt::format("Cannot load the client key {} (MQTT_KEY_FILE): {}", key,
                                          openssl_error("unknown error")));
        }
    }
    return c;
}

TlsStream::TlsStream(const TlsContext& context, int fd, const std::string& host)
    : ssl_(SSL_new(context.ctx_)) {
    socket_.fd = fd;
    socket_.input.reset(new char[input_bytes]);
    if (!ssl_) throw setup_error("Cannot set up TLS: " + openssl_error("out of memory"));
    BIO* bio = BIO_new(socket_method());
    BIO_set_data(bio, &socket_);
    SSL_set_bio(ssl_, bio, bio);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (is_ip_address(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        // Only the subject alternative names count, as RFC 6125 wants: no
        // falling back to a common name.
        X509_VERIFY_PARAM_set_hostflags(
            param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
        SSL_set_tlsext_host_name(ssl_, host.c_str());
    }
}

TlsStream::~TlsStream() {
    SSL_free(ssl_);
}

std::optional<Closed> TlsStream::handshake(std::chrono::steady_clock::time_point deadline, int abort_fd) {
    ERR_clear_error();
    for (;;) {
        const int rc = SSL_connect(ssl_);
        if (rc == 1) return std::nullopt;
        const int e = SSL_get_error(ssl_, rc);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            Closed failure{CloseCode::tls, {}};
            const long verify = SSL_get_verify_result(ssl_);
            if (verify != X509_V_OK) {
                failure.text = fmt::format("TLS: the broker's certificate failed verification: {}",
                                           X509_verify_cert_error_string(verify));
            } else {
                failure.text = "TLS handshake failed: " +
                               openssl_error(e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN
                                                 ? "connection closed by the broker"
                                                 : "unknown error");
            }
            ERR_clear_error();
            return failure;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return Closed{CloseCode::tls, "TLS handshake timed out"};
        pollfd p[2] = {{socket_.fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0},
                       {abort_fd, POLLIN, 0}};
        const int n = ::poll(p, 2, static_cast<int>(left.count()) + 1);
        if (n > 0 && (p[1].revents & POLLIN)) return Closed{CloseCode::stopped, "stopped"};
    }
}

std::string TlsStream::description() const {
    return fmt::format("{}, {}", SSL_get_version(ssl_), SSL_get_cipher_name(ssl_));
}

ssize_t TlsStream::read(char* data, std::size_t size) {
    std::size_t got = 0;
    want_socket_ = false;
    while (got < size) {
        std::size_t n = 0;
        const int rc = SSL_read_ex(ssl_, data + got, size - got, &n);
        if (rc == 1) {
            got += n;
            // A recv now would find nothing: the poll that follows says when
            // to read again.
            if (socket_.drained && !socket_.holds() && !SSL_has_pending(ssl_)) break;
            continue;
        }
        const int e = SSL_get_error(ssl_, rc);
        want_socket_ = e == SSL_ERROR_WANT_READ;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE || got > 0) {
            ERR_clear_error();  // a failure shows again on the next read
            break;
        }
        note_failure(e);
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t TlsStream::write(const char* data, std::size_t size) {
    std::size_t put = 0;
    while (put < size) {
        std::size_t n = 0;
        const int rc = SSL_write_ex(ssl_, data + put, size - put, &n);
        if (rc == 1) {
            put += n;
            continue;
        }
        const int e = SSL_get_error(ssl_, rc);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            break;
        }
        note_failure(e);
        if (failure_.empty()) {
            // A broker that refuses us after the handshake (TLS 1.3 asks for
            // the client's certificate only then) sends its alert and closes;
            // the write fails first, and the alert waits to be read.
            char byte = 0;
            std::size_t got = 0;
            note_failure(SSL_get_error(ssl_, SSL_read_ex(ssl_, &byte, 1, &got)));
        }
        return -1;
    }
    return static_cast<ssize_t>(put);
}

void TlsStream::note_failure(int ssl_error) {
    if (ssl_error == SSL_ERROR_SSL && failure_.empty()) {
        const unsigned long e = ERR_peek_last_error();
        const char* reason = ERR_reason_error_string(e);
        failure_ = reason ? reason : openssl_error("unknown error");
    }
    ERR_clear_error();
}

bool TlsStream::buffered() const {
    // Records read ahead wait in the input, or decrypted bytes in OpenSSL;
    // after a read that wanted the socket, only part of one.
    return !want_socket_ && (socket_.holds() || SSL_has_pending(ssl_) == 1);
}

void TlsStream::close_notify() {
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

}  // namespace quorvel::mosquitto
