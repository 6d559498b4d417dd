// One I/O thread owns the connection: it connects and reconnects, pings,
// and writes what the callers queued. A thread waiting in Receive reads the
// socket itself and writes what it queued itself, so a receive-and-publish
// loop wakes one thread per message and writes once per batch; meanwhile
// the I/O thread leaves the reading to it. A timer bounds how long output
// or input waits for such a thread: when it stays away, the I/O thread
// takes over.
//
// Locking: mutex_ guards the connection state, the subscription table, the
// packet ids and the two outgoing buffers (control_ for packets of the
// current connection, out_ for publications, which outlive a lost
// connection). Callers hold it only to append bytes. write_mutex_ guards
// the bytes being written (writing_) and the socket's write side, and is
// held only for non-blocking sends. read_mutex_ guards the bytes read and
// their handling, up to the hold queue, and is held only for non-blocking
// reads. held_mutex_ guards the hold queue and who reads the socket. Order:
// write_mutex_ before mutex_; read_mutex_ before held_mutex_ before mutex_.
// No lock is held across a blocking call or a user callback.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include "mqtt-wrapper/p7.h"
#include "mqtt-wrapper/topic_rules.h"
#include "mqtt-wrapper/wire.h"

#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* default_broker = "tcp://127.0.0.1:1883";
constexpr const char* default_port = "1883";
constexpr std::size_t max_out_bytes = 64 * 1024;  // while connected, Send waits beyond this
constexpr std::size_t max_offline_publishes = 2048;
constexpr std::size_t max_offline_bytes = 1 << 20;
constexpr std::size_t max_held_messages = 1000;
constexpr std::size_t max_held_bytes = 1 << 20;
constexpr std::size_t max_incoming_bytes = 4 << 20;  // larger messages are skipped
constexpr std::size_t kept_buffer_bytes = 256 * 1024;
constexpr std::size_t read_chunk_bytes = 64 * 1024;
constexpr std::size_t min_publish_bytes = 5;  // a one-byte topic and no payload
constexpr auto reconnect_delay_min = 20ms;
constexpr auto reconnect_delay_max = 250ms;
constexpr auto refused_delay = 5s;
constexpr auto stable_connection = 5s;  // back-off restarts only after this long up
constexpr auto drop_report_interval = 10s;
constexpr std::uint16_t keep_alive_s = 30;
constexpr auto keep_alive = std::chrono::seconds(keep_alive_s);
constexpr auto connect_timeout = 5s;
constexpr auto disconnect_timeout = 3s;
constexpr auto reader_lease = 10ms;              // longest the socket waits for a receiving thread
constexpr long deferred_output_ns = 10'000'000;  // longest a receiving thread's output waits
constexpr std::size_t topic_shown_bytes = 200;

const char* const source_file = "src/mqtt-wrapper/mqtt_async_wrapper";

#define WRAPPER_LOG(level, ...) \
    P7::getTrace()->Trace(0, level, nullptr, __LINE__, source_file, __func__, __VA_ARGS__)

std::string shown(const std::string& topic) {
    if (topic.size() <= topic_shown_bytes) return topic;
    return topic.substr(0, topic_shown_bytes) + "...";
}

std::string broker_address() {
    const char* env = std::getenv("MQTT_BROKER");
    return env && *env ? env : default_broker;
}

// Host and port of tcp://host:port, mqtt://host:port or host:port; IPv6
// hosts in brackets. False for other schemes.
bool split_address(const std::string& uri, std::string& host, std::string& port) {
    std::string rest = uri;
    const auto scheme_end = uri.find("://");
    if (scheme_end != std::string::npos) {
        const auto scheme = uri.substr(0, scheme_end);
        if (scheme != "tcp" && scheme != "mqtt") return false;
        rest = uri.substr(scheme_end + 3);
    }
    const auto slash = rest.find('/');
    if (slash != std::string::npos) rest.erase(slash);
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) return false;
        host = rest.substr(1, close - 1);
        port = rest.size() > close + 2 && rest[close + 1] == ':' ? rest.substr(close + 2) : default_port;
    } else {
        const auto colon = rest.rfind(':');
        host = rest.substr(0, colon);
        port = colon == std::string::npos ? default_port : rest.substr(colon + 1);
    }
    return !host.empty() && !port.empty();
}

const char* connack_text(int code) {
    switch (code) {
        case 1:
            return "unacceptable protocol version";
        case 2:
            return "client identifier rejected";
        case 3:
            return "server unavailable";
        case 4:
            return "bad user name or password";
        case 5:
            return "not authorised";
        default:
            return "refused";
    }
}

// Bytes read from the socket and not yet handled. Grows without zeroing the
// room it reads into, and gives back what a large packet needed.
class InputBuffer {
public:
    std::string_view view() const { return {data_.get(), size_}; }
    bool empty() const { return size_ == 0; }
    void clear() { consume(size_); }

    // Room for at least n more bytes at the end.
    char* room(std::size_t n) {
        if (capacity_ - size_ < n) resize(std::max(capacity_ * 2, size_ + n));
        return data_.get() + size_;
    }
    std::size_t room_size() const { return capacity_ - size_; }
    void grow(std::size_t n) { size_ += n; }

    void consume(std::size_t n) {
        size_ -= n;
        if (size_ > 0) std::memmove(data_.get(), data_.get() + n, size_);
        if (capacity_ > kept_buffer_bytes && size_ < read_chunk_bytes) resize(read_chunk_bytes);
    }

private:
    void resize(std::size_t capacity) {
        std::unique_ptr<char[]> data(new char[capacity]);
        if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
        data_ = std::move(data);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// The I/O thread of the client whose work the current thread is doing.
thread_local const void* io_thread_of = nullptr;
// The client the current thread last called Receive on.
thread_local const void* receiving_from = nullptr;
// The client whose socket the current thread is reading in Receive.
thread_local const void* reading_for = nullptr;

}  // namespace

struct MqttAsyncWrapper::Impl {
    struct Subscription {
        std::string filter;
        int qos;
        MQTTAsync_onSuccess* on_done;
        MQTTAsync_onFailure* on_failed;
        unsigned long issued_on;  // number of the connection it was last sent on
    };
    struct PendingAck {
        std::uint16_t id;
        MQTTAsync_onSuccess* on_done;
        MQTTAsync_onFailure* on_failed;
    };
    struct Completion {
        MQTTAsync_onSuccess* on_done;
        MQTTAsync_onFailure* on_failed;
        std::uint16_t id;
        int code;  // granted QoS on success, an error code on failure
    };

    MqttAsyncWrapper* const owner;
    const std::string uri;
    const std::string client_id;
    std::string host_;
    std::string port_;
    int wake_fd_ = -1;
    int timer_fd_ = -1;
    int reader_wake_fd_ = -1;

    std::mutex mutex_;
    std::condition_variable room_cv_;
    bool started_ = false;
    bool connected_ = false;
    bool stopping_ = false;
    bool io_sleeping_ = false;  // in poll, and not yet woken
    bool timer_armed_ = false;
    bool clean_session_ = true;
    unsigned long connection_ = 0;
    MQTTAsync_onSuccess* on_connected_ = nullptr;
    std::vector<Subscription> subscriptions_;
    std::vector<PendingAck> pending_acks_;
    std::vector<bool> id_in_use_ = std::vector<bool>(65536);
    std::uint16_t last_id_ = 0;
    std::size_t unacked_publishes_ = 0;
    std::string control_;
    std::string out_;
    std::size_t out_publishes_ = 0;
    std::thread io_;

    std::mutex write_mutex_;
    int write_fd_ = -1;  // the socket, once connected
    std::string writing_;
    std::size_t written_ = 0;
    steady::time_point last_write_{};

    std::mutex read_mutex_;
    InputBuffer in_;
    std::size_t skipping_ = 0;  // bytes left of an oversized packet
    std::vector<MqttMessage> arrived_;
    std::atomic<int> broken_{0};  // a reading caller found the connection gone
    std::atomic<bool> ping_outstanding_{false};
    std::atomic<bool> closing_{false};

    // The I/O thread's own.
    int fd_ = -1;
    steady::time_point ping_sent_{};
    unsigned long lost_publishes_ = 0;

    std::mutex held_mutex_;
    std::condition_variable held_cv_;
    std::deque<MqttMessage> held_;
    std::size_t held_bytes_ = 0;
    std::size_t dropped_unreported_ = 0;
    steady::time_point last_drop_report_{};
    int read_fd_ = -1;                    // the socket callers may read
    bool reader_active_ = false;          // a caller is reading it
    std::atomic<bool> delegated_{false};  // the I/O thread leaves reading to callers
    steady::time_point reader_left_{};    // the last Receive ended then

    Impl(MqttAsyncWrapper* o, std::string id) : owner(o), uri(broker_address()), client_id(std::move(id)) {
        if (!split_address(uri, host_, port_)) {
            throw MqttError(fmt::format("Unsupported broker address '{}': use tcp://host:port", uri),
                            MQTTASYNC_BAD_PROTOCOL);
        }
        if (client_id.size() > wire::max_string_bytes) {
            throw MqttError("Client identifier longer than 65535 bytes", MQTTASYNC_BAD_UTF8_STRING);
        }
        wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        reader_wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (wake_fd_ < 0 || reader_wake_fd_ < 0 || timer_fd_ < 0) {
            const int err = errno;
            for (const int fd : {wake_fd_, reader_wake_fd_, timer_fd_}) {
                if (fd >= 0) ::close(fd);
            }
            throw MqttError(fmt::format("Cannot create an MQTT client: {}", std::strerror(err)),
                            MQTTASYNC_FAILURE);
        }
    }

    ~Impl() {
        ::close(wake_fd_);
        ::close(reader_wake_fd_);
        ::close(timer_fd_);
    }

    void wake() { signal(wake_fd_); }

    static void signal(int fd) {
        const std::uint64_t one = 1;
        while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    static void drain(int fd) {
        std::uint64_t count = 0;
        while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }

    // Called with mutex_ held after queueing output: whether the I/O thread
    // must be woken for it. Awake, it looks for output before it sleeps.
    bool wake_needed() { return connected_ && std::exchange(io_sleeping_, false); }

    enum class Nudge { none, wake, timer };

    // Like wake_needed, for publications: a thread in a receive loop writes
    // them itself at its next Receive, and the timer covers a thread that
    // does not come back.
    Nudge nudge_for_publication() {
        if (!connected_ || !io_sleeping_) return Nudge::none;
        if (receiving_from == this && io_thread_of != this) {
            return std::exchange(timer_armed_, true) ? Nudge::none : Nudge::timer;
        }
        io_sleeping_ = false;
        return Nudge::wake;
    }

    void arm_timer(long ns = deferred_output_ns) {
        constexpr long ns_per_s = 1'000'000'000;
        itimerspec t{};
        t.it_value.tv_sec = ns / ns_per_s;
        t.it_value.tv_nsec = std::max(ns % ns_per_s, 1L);
        ::timerfd_settime(timer_fd_, 0, &t, nullptr);
    }

    // Arms the timer unless it is armed already.
    void ensure_timer(long ns) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (std::exchange(timer_armed_, true)) return;
        }
        arm_timer(ns);
    }

    // Receive's side of the receive loop: writes what this client queued, if
    // the I/O thread is not writing already.
    void flush_from_caller() {
        bool partial = false;
        {
            std::unique_lock<std::mutex> wlock(write_mutex_, std::try_to_lock);
            if (!wlock.owns_lock() || write_fd_ < 0 || !take_output(false)) return;
            partial = !write_some(write_fd_) || !writing_.empty();
        }
        if (partial) {  // the I/O thread waits for room in the socket, or finds it gone
            {
                std::lock_guard<std::mutex> lock(mutex_);
                io_sleeping_ = false;
            }
            wake();
        }
    }

    std::uint16_t allocate_id() {
        for (int tries = 0; tries < 65535; ++tries) {
            if (++last_id_ == 0) last_id_ = 1;
            if (!id_in_use_[last_id_]) break;
        }
        id_in_use_[last_id_] = true;
        return last_id_;
    }

    // Called with mutex_ held: queues a SUBSCRIBE for every entry not yet
    // sent on the current connection.
    bool issue_subscriptions() {
        bool any = false;
        for (auto& s : subscriptions_) {
            if (s.issued_on == connection_) continue;
            s.issued_on = connection_;
            const auto id = allocate_id();
            wire::put_subscribe(control_, id, s.filter, s.qos);
            pending_acks_.push_back({id, s.on_done, s.on_failed});
            any = true;
        }
        return any;
    }

    // ---- the I/O thread ----

    void run() {
        io_thread_of = this;
        auto delay = std::chrono::duration_cast<steady::duration>(reconnect_delay_min);
        bool failing = false;
        while (!stopping()) {
            std::string error;
            bool refused = false;
            if (open_connection(error, refused)) {
                failing = false;
                const auto since = steady::now();
                serve();
                close_connection();
                if (steady::now() - since >= stable_connection) delay = reconnect_delay_min;
                if (closing_) break;
            } else if (!failing && !stopping()) {
                failing = true;
                WRAPPER_LOG(P7::WARNING, "Cannot connect to %s: %s; retrying until it is up", uri.c_str(),
                            error.c_str());
            }
            if (!pause(refused ? refused_delay : delay)) break;
            delay = std::min(delay * 2, std::chrono::duration_cast<steady::duration>(reconnect_delay_max));
        }
        std::size_t unsent = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            unsent = out_publishes_;
        }
        if (unsent > 0 && !closing_) {
            WRAPPER_LOG(P7::WARNING, "%zu publications were never sent: not connected to %s", unsent,
                        uri.c_str());
        }
    }

    // Waits, unless the client is being destroyed; false when it is.
    bool pause(steady::duration d) {
        const auto end = steady::now() + d;
        while (!stopping()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now());
            if (left.count() <= 0) return true;
            pollfd p{wake_fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count()) + 1) > 0) drain(wake_fd_);
        }
        return false;
    }

    void timer_fired() {
        drain(timer_fd_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            timer_armed_ = false;
        }
        check_lease();
    }

    // Takes the reading back from callers that have stayed away too long.
    void check_lease() {
        steady::duration left{};
        {
            std::lock_guard<std::mutex> lock(held_mutex_);
            if (!delegated_ || reader_active_) return;
            left = reader_left_ + reader_lease - steady::now();
            if (left <= steady::duration::zero()) {
                delegated_ = false;
                return;
            }
        }
        ensure_timer(static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count()));
    }

    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

    // Waits for the socket or the wake-up; false on timeout or destruction.
    bool wait_socket(short events, steady::time_point deadline) {
        for (;;) {
            if (stopping()) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() < 0) return false;
            pollfd p[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
            const int n = ::poll(p, 2, static_cast<int>(left.count()) + 1);
            if (n < 0 && errno != EINTR) return false;
            if (n > 0 && (p[1].revents & POLLIN)) drain(wake_fd_);
            if (n > 0 && p[0].revents) return true;
        }
    }

    bool connect_tcp(std::string& error) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
        if (rc != 0) {
            error = fmt::format("cannot resolve {}: {}", host_, ::gai_strerror(rc));
            return false;
        }
        for (const addrinfo* a = found; a; a = a->ai_next) {
            fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd_ < 0) continue;
            bool ok = ::connect(fd_, a->ai_addr, a->ai_addrlen) == 0;
            if (!ok && errno == EINPROGRESS && wait_socket(POLLOUT, steady::now() + connect_timeout)) {
                int err = 0;
                socklen_t len = sizeof err;
                ok = ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
                if (!ok) errno = err;
            }
            if (ok) break;
            error = std::strerror(errno);
            ::close(fd_);
            fd_ = -1;
        }
        ::freeaddrinfo(found);
        if (fd_ < 0) return false;
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    // TCP, CONNECT and a CONNACK that accepts; false otherwise, with the
    // reason in error (empty when the client is being destroyed).
    bool open_connection(std::string& error, bool& refused) {
        if (!connect_tcp(error)) {
            if (error.empty()) error = "no answer";
            return false;
        }
        bool clean = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clean = clean_session_;
        }
        writing_.clear();
        written_ = 0;
        wire::put_connect(writing_, client_id, clean, keep_alive_s);
        const auto deadline = steady::now() + connect_timeout;
        in_.clear();
        skipping_ = 0;
        bool session_present = false;
        for (;;) {
            if (!write_some(fd_)) {
                error = "connection closed during the handshake";
                break;
            }
            wire::Header h{};
            const auto input = in_.view();
            if (wire::read_header(input, h) == wire::Framing::complete &&
                input.size() >= h.header_bytes + 2) {
                const auto code = static_cast<unsigned char>(input[h.header_bytes + 1]);
                if (h.type != wire::connack) {
                    error = "protocol error in the handshake";
                } else if (code != 0) {
                    error = fmt::format("refused ({})", connack_text(code));
                    refused = true;
                } else {
                    session_present = (input[h.header_bytes] & 0x01) != 0;
                    in_.consume(std::min(input.size(), h.header_bytes + h.body_bytes));
                    connected(session_present);
                    return true;
                }
                break;
            }
            if (!wait_socket(writing_.empty() ? POLLIN : POLLIN | POLLOUT, deadline)) {
                error = stopping() ? "" : "no answer to CONNECT";
                break;
            }
            if (!read_some(fd_)) {
                error = "connection closed during the handshake";
                break;
            }
        }
        ::close(fd_);
        fd_ = -1;
        writing_.clear();
        return false;
    }

    void connected(bool session_present) {
        MQTTAsync_onSuccess* user = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connected_ = true;
            ++connection_;
            closing_ = false;
            io_sleeping_ = false;
            issue_subscriptions();
            user = on_connected_;
        }
        room_cv_.notify_all();
        ping_outstanding_ = false;
        {
            std::lock_guard<std::mutex> wlock(write_mutex_);
            write_fd_ = fd_;
            last_write_ = steady::now();
        }
        {
            std::lock_guard<std::mutex> lock(held_mutex_);
            read_fd_ = fd_;
            delegated_ = false;
        }
        held_cv_.notify_all();
        WRAPPER_LOG(P7::INFO, "Connected to %s as %s", uri.c_str(), client_id.c_str());
        if (const auto lost = std::exchange(lost_publishes_, 0)) {
            WRAPPER_LOG(P7::WARNING, "%lu publications were lost with the previous connection", lost);
        }
        if (user) {
            MQTTAsync_successData data{};
            data.alt.connect.serverURI = const_cast<char*>(uri.c_str());
            data.alt.connect.MQTTVersion = MQTTVERSION_3_1_1;
            data.alt.connect.sessionPresent = session_present ? 1 : 0;
            user(owner, &data);
        }
    }

    // Called with write_mutex_ held: moves queued output to writing_ when
    // that is done; true when it did.
    bool take_output(bool by_io_thread) {
        if (!writing_.empty()) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (by_io_thread) io_sleeping_ = false;
            if (by_io_thread && stopping_ && !closing_) {
                closing_ = true;  // after everything queued, and the last thing written
                wire::put_bare(out_, wire::disconnect);
            }
            if (control_.empty() && out_.empty()) return false;
            if (control_.empty()) {
                writing_.swap(out_);
            } else {
                writing_.swap(control_);
                writing_ += out_;
                out_.clear();
            }
            out_publishes_ = 0;
        }
        room_cv_.notify_all();
        written_ = 0;
        return true;
    }

    // Whether nothing is queued that the loop should take first; from here
    // until the next take_output, callers that queue output wake the loop.
    bool may_sleep(bool writing) {
        if (writing) return true;  // the socket's readiness wakes the loop
        std::lock_guard<std::mutex> lock(mutex_);
        if (!control_.empty() || !out_.empty() || (stopping_ && !closing_)) return false;
        io_sleeping_ = true;
        return true;
    }

    // Writes what the socket takes; false when the connection is gone.
    bool write_some(int fd) {
        while (written_ < writing_.size()) {
            const auto n = ::send(fd, writing_.data() + written_, writing_.size() - written_, MSG_NOSIGNAL);
            if (n > 0) {
                written_ += static_cast<std::size_t>(n);
                last_write_ = steady::now();
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            }
        }
        if (writing_.capacity() > kept_buffer_bytes) {
            std::string().swap(writing_);
        } else {
            writing_.clear();
        }
        written_ = 0;
        return true;
    }

    // Reads what has arrived into in_, at most max_bytes; false when the
    // connection is gone.
    bool read_some(int fd, std::size_t max_bytes = read_chunk_bytes) {
        char* room = in_.room(read_chunk_bytes);
        ssize_t n = 0;
        do {
            n = ::recv(fd, room, std::min(in_.room_size(), max_bytes), 0);
        } while (n < 0 && errno == EINTR);
        if (n > 0) in_.grow(static_cast<std::size_t>(n));
        return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }

    // Serves one connection until it is lost or, when the client is being
    // destroyed, closed cleanly after everything queued is written.
    void serve() {
        auto close_deadline = steady::time_point::max();
        if (read_and_handle(fd_, false) != 0) return lost(broken_text(2));
        for (;;) {
            if (const int b = broken_.exchange(0)) return lost(broken_text(b));
            bool writing = false;
            bool failed = false;
            steady::time_point last_write;
            {
                std::lock_guard<std::mutex> wlock(write_mutex_);
                take_output(true);
                failed = !write_some(fd_);
                writing = !writing_.empty();
                last_write = last_write_;
            }
            if (failed) return lost("write failed");
            if (closing_ && close_deadline == steady::time_point::max()) {
                close_deadline = steady::now() + disconnect_timeout;
            }
            if (closing_ && !writing) return finish_close(close_deadline);

            const auto now = steady::now();
            if (now >= close_deadline) {
                WRAPPER_LOG(P7::WARNING, "Closed the connection to %s with output still unsent", uri.c_str());
                return;
            }
            if (ping_outstanding_ && now - ping_sent_ >= keep_alive) return lost("no answer to a ping");
            if (!ping_outstanding_ && !closing_ && now - last_write >= keep_alive) {
                std::lock_guard<std::mutex> lock(mutex_);
                wire::put_bare(control_, wire::pingreq);
                ping_outstanding_ = true;
                ping_sent_ = now;
                continue;
            }
            if (!may_sleep(writing)) continue;
            auto next = std::min(ping_outstanding_ ? ping_sent_ + keep_alive : last_write + keep_alive,
                                 close_deadline);
            const auto wait_ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
            const short events = static_cast<short>((delegated_ ? 0 : POLLIN) | (writing ? POLLOUT : 0));
            pollfd p[3] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}, {timer_fd_, POLLIN, 0}};
            const int n = ::poll(p, 3, static_cast<int>(std::min<long long>(wait_ms, 60000)));
            if (n < 0 && errno != EINTR) return lost("poll failed");
            if (n <= 0) continue;
            if (p[1].revents & POLLIN) drain(wake_fd_);
            if (p[2].revents & POLLIN) timer_fired();
            if (p[0].revents & (POLLIN | POLLERR | POLLHUP)) {
                if (const int b = read_and_handle(fd_, true)) return lost(broken_text(b));
            }
        }
    }

    static const char* broken_text(int why) { return why == 2 ? "protocol error from the broker" : nullptr; }

    // Reads what has arrived, when asked to, and handles it, on the I/O
    // thread or a reading caller: 0, or 1 when the connection is closed and
    // 2 on a malformed packet, after handing out everything before it.
    int read_and_handle(int fd, bool read, std::size_t max_bytes = read_chunk_bytes) {
        std::vector<Completion> completions;
        int result = 0;
        {
            std::lock_guard<std::mutex> rlock(read_mutex_);
            if (read && !read_some(fd, max_bytes)) result = 1;
            if (!dispatch(arrived_, completions)) result = 2;
            hold(arrived_);
        }
        complete(completions);
        return result;
    }

    // A caller's turn at reading the socket: waits for input until the
    // deadline or a kick, and handles it. It reads no more than the hold
    // queue has room for, so a burst waits in the socket rather than
    // pushing out what this caller has yet to take.
    void read_as_caller(int fd, bool forever, steady::time_point deadline, std::size_t room) {
        int timeout_ms = -1;
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            timeout_ms = static_cast<int>(std::max<long long>(left.count() + 1, 0));
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {reader_wake_fd_, POLLIN, 0}};
        if (::poll(p, 2, timeout_ms) <= 0) return;
        if (p[1].revents & POLLIN) drain(reader_wake_fd_);
        if (p[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            reading_for = this;
            const int b = read_and_handle(fd, true, std::max<std::size_t>(room, 64) * min_publish_bytes);
            reading_for = nullptr;
            if (b != 0) {
                bool current = false;
                {
                    std::lock_guard<std::mutex> lock(held_mutex_);
                    current = read_fd_ == fd;
                    if (current) {
                        read_fd_ = -1;  // no more turns on this socket
                        broken_ = b;
                    }
                }
                if (current) wake();
            }
        }
        flush_from_caller();  // acknowledgements, if any
    }

    // Before the socket closes: no caller may read it any more.
    void release_socket() {
        std::unique_lock<std::mutex> lock(held_mutex_);
        read_fd_ = -1;
        delegated_ = false;
        if (reader_active_) {
            signal(reader_wake_fd_);
            held_cv_.wait(lock, [&] { return !reader_active_; });
        }
        drain(reader_wake_fd_);
        broken_ = 0;  // news of this socket, which is going anyway
    }

    // Handles every whole packet in in_; false on a malformed one.
    bool dispatch(std::vector<MqttMessage>& arrived, std::vector<Completion>& completions) {
        const auto input = in_.view();
        std::size_t at = 0;
        bool ok = true;
        while (ok && at < input.size()) {
            if (skipping_ > 0) {
                const auto n = std::min(skipping_, input.size() - at);
                skipping_ -= n;
                at += n;
                continue;
            }
            wire::Header h{};
            const auto framing = wire::read_header(input.substr(at), h);
            if (framing == wire::Framing::malformed) return false;
            if (framing == wire::Framing::incomplete) break;
            if (h.body_bytes > max_incoming_bytes) {
                WRAPPER_LOG(P7::WARNING, "Skipped a packet of %zu bytes from the broker: the limit is %zu",
                            h.body_bytes, max_incoming_bytes);
                at += h.header_bytes;
                skipping_ = h.body_bytes;
                continue;
            }
            if (input.size() - at < h.header_bytes + h.body_bytes) break;
            const auto body = input.substr(at + h.header_bytes, h.body_bytes);
            ok = handle_packet(h, body, arrived, completions);
            at += h.header_bytes + h.body_bytes;
        }
        in_.consume(at);
        return ok;
    }

    bool handle_packet(const wire::Header& h, std::string_view body, std::vector<MqttMessage>& arrived,
                       std::vector<Completion>& completions) {
        std::uint16_t id = 0;
        switch (h.type) {
            case wire::publish: {
                wire::Publish p{};
                if (!wire::read_publish(h, body, p)) return false;
                if (p.qos > 0) answer(p.qos == 1 ? wire::puback : wire::pubrec, p.id);
                try {
                    MqttMessage m;
                    m.topic.assign(p.topic);
                    m.payload.assign(p.payload.begin(), p.payload.end());
                    arrived.push_back(std::move(m));
                } catch (const std::bad_alloc&) {
                    // This message is lost; the client goes on.
                }
                return true;
            }
            case wire::pubrel:
            case wire::pubrec:
                if (!wire::read_id(body, id)) return false;
                answer(h.type == wire::pubrel ? wire::pubcomp : wire::pubrel, id);
                return true;
            case wire::puback:
            case wire::pubcomp:
                if (!wire::read_id(body, id)) return false;
                release_publish(id);
                return true;
            case wire::suback:
            case wire::unsuback:
                if (!wire::read_id(body, id)) return false;
                acknowledged(
                    id, h.type == wire::suback && body.size() > 2 ? static_cast<unsigned char>(body[2]) : 0,
                    completions);
                return true;
            case wire::pingresp:
                ping_outstanding_ = false;
                return true;
            default:
                return false;
        }
    }

    // Queues an acknowledgement, unless DISCONNECT has gone out already.
    void answer(wire::Type type, std::uint16_t id) {
        if (closing_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        wire::put_ack(control_, type, id);
    }

    void release_publish(std::uint16_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (id_in_use_[id]) {
            id_in_use_[id] = false;
            if (unacked_publishes_ > 0) --unacked_publishes_;
        }
    }

    void acknowledged(std::uint16_t id, int granted, std::vector<Completion>& completions) {
        std::lock_guard<std::mutex> lock(mutex_);
        id_in_use_[id] = false;
        auto it = std::find_if(pending_acks_.begin(), pending_acks_.end(),
                               [&](const PendingAck& p) { return p.id == id; });
        if (it == pending_acks_.end()) return;
        if (granted == 0x80) {
            completions.push_back({nullptr, it->on_failed, id, MQTTASYNC_FAILURE});
        } else {
            completions.push_back({it->on_done, nullptr, id, granted});
        }
        pending_acks_.erase(it);
    }

    // User callbacks, run with no lock held.
    void complete(std::vector<Completion>& completions) {
        for (const auto& c : completions) {
            if (c.on_done) {
                MQTTAsync_successData data{};
                data.token = c.id;
                data.alt.qos = c.code;
                c.on_done(owner, &data);
            } else if (c.on_failed) {
                MQTTAsync_failureData data{};
                data.token = c.id;
                data.code = c.code;
                data.message = c.code == MQTTASYNC_FAILURE ? "refused by the broker" : "connection lost";
                c.on_failed(owner, &data);
            }
        }
        completions.clear();
    }

    void lost(const char* why) {
        release_socket();
        std::vector<Completion> failed;
        {
            std::lock_guard<std::mutex> wlock(write_mutex_);
            write_fd_ = -1;
            std::lock_guard<std::mutex> lock(mutex_);
            connected_ = false;
            io_sleeping_ = false;
            std::string kept;
            const auto unsent = wire::keep_unsent_publishes(writing_, written_, kept);
            std::fill(id_in_use_.begin(), id_in_use_.end(), false);
            for (const auto id : unsent.ids) id_in_use_[id] = true;
            lost_publishes_ += unacked_publishes_ - std::min(unacked_publishes_, unsent.ids.size());
            lost_publishes_ += unsent.torn ? 1 : 0;
            unacked_publishes_ = unsent.ids.size();
            kept += out_;
            out_.swap(kept);
            out_publishes_ += unsent.publishes;
            control_.clear();
            for (const auto& p : pending_acks_) {
                failed.push_back({nullptr, p.on_failed, p.id, MQTTASYNC_OPERATION_INCOMPLETE});
            }
            pending_acks_.clear();
            writing_.clear();
            written_ = 0;
        }
        room_cv_.notify_all();
        WRAPPER_LOG(P7::WARNING, "Connection to %s lost%s%s; reconnecting", uri.c_str(), why ? ": " : "",
                    why ? why : "");
        complete(failed);
    }

    // After DISCONNECT: no more writes, and the socket closes once the broker
    // has read everything (it closes its end), so nothing is cut off.
    void finish_close(steady::time_point deadline) {
        release_socket();
        ::shutdown(fd_, SHUT_WR);
        for (;;) {
            in_.clear();
            if (!wait_socket_until_closed(deadline) || !read_some(fd_) || in_.empty()) return;
        }
    }

    bool wait_socket_until_closed(steady::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(left.count()) + 1) > 0;
    }

    void close_connection() {
        release_socket();
        std::lock_guard<std::mutex> wlock(write_mutex_);
        write_fd_ = -1;
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        ::close(fd_);
        fd_ = -1;
    }

    // ---- the hold queue ----

    // Never blocks: on overflow the oldest held messages go.
    void hold(std::vector<MqttMessage>& arrived) {
        if (arrived.empty()) return;
        std::size_t report = 0;
        {
            std::lock_guard<std::mutex> lock(held_mutex_);
            for (auto& m : arrived) {
                held_bytes_ += m.payload.size() + m.topic.size();
                held_.push_back(std::move(m));
            }
            while (held_.size() > 1 && (held_.size() > max_held_messages || held_bytes_ > max_held_bytes)) {
                held_bytes_ -= held_.front().payload.size() + held_.front().topic.size();
                held_.pop_front();
                ++dropped_unreported_;
            }
            report = take_drop_report();
            // A caller reading the socket waits there, not on held_cv_.
            if (reader_active_ && reading_for != this) signal(reader_wake_fd_);
        }
        arrived.clear();
        held_cv_.notify_all();
        log_drops(report);
    }

    // Called with held_mutex_ held: the count to report now, if one is due:
    // at most once per interval while overflowing, and once more when the
    // queue has drained, so the count of every overflow gets reported.
    std::size_t take_drop_report() {
        if (dropped_unreported_ == 0) return 0;
        const auto now = steady::now();
        if (!held_.empty() && last_drop_report_ != steady::time_point{} &&
            now - last_drop_report_ < drop_report_interval) {
            return 0;
        }
        last_drop_report_ = now;
        return std::exchange(dropped_unreported_, 0);
    }

    static void log_drops(std::size_t count) {
        if (count == 0) return;
        WRAPPER_LOG(P7::WARNING, "Receive queue full: dropped %zu oldest messages", count);
    }

    // ---- publishing ----

    void publish(const std::string& topic, const unsigned char* data, std::size_t size, Qos qos,
                 bool retain) {
        const auto problem = topic_name_problem(topic);
        if (!problem.empty()) {
            throw MqttError(fmt::format("Refused to publish to topic '{}': it {}", shown(topic), problem),
                            MQTTASYNC_FAILURE);
        }
        const int q = static_cast<int>(qos);
        const auto bytes = wire::publish_size(topic.size(), size, q);
        if (size > wire::max_remaining_length - 4 - topic.size()) {
            throw MqttError(fmt::format("Cannot publish to topic '{}': {} bytes is more than MQTT carries",
                                        shown(topic), size),
                            MQTTASYNC_FAILURE);
        }
        auto nudge = Nudge::none;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                if (!connected_) {
                    if (out_publishes_ >= max_offline_publishes || out_.size() + bytes > max_offline_bytes) {
                        throw MqttError(
                            fmt::format("Cannot publish to topic '{}': the broker is unreachable and "
                                        "the buffer of waiting publications is full",
                                        shown(topic)),
                            MQTTASYNC_MAX_BUFFERED_MESSAGES);
                    }
                    break;
                }
                // Back-pressure, except on the I/O thread itself (a callback).
                if (out_.empty() || out_.size() + bytes <= max_out_bytes || io_thread_of == this) break;
                if (std::exchange(io_sleeping_, false)) {
                    lock.unlock();
                    wake();
                    lock.lock();
                    continue;
                }
                room_cv_.wait(lock);
            }
            std::uint16_t id = 0;
            if (q > 0) {
                id = allocate_id();
                ++unacked_publishes_;
            }
            wire::put_publish(out_, topic, data, size, q, retain, id);
            ++out_publishes_;
            nudge = nudge_for_publication();
        }
        if (nudge == Nudge::wake) wake();
        if (nudge == Nudge::timer) arm_timer();
    }
};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : impl_(std::make_unique<Impl>(this, clientId)) {}

MqttAsyncWrapper::~MqttAsyncWrapper() {
    std::size_t unsent = 0;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        impl_->stopping_ = true;
        if (!impl_->started_) unsent = impl_->out_publishes_;
    }
    if (unsent > 0) {
        WRAPPER_LOG(P7::WARNING, "%zu publications were never sent: the client was never connected", unsent);
    }
    impl_->wake();
    if (impl_->io_.joinable()) impl_->io_.join();
}

void MqttAsyncWrapper::Connect(bool cleanSession, MQTTAsync_onSuccess* onConnected, MQTTAsync_onFailure*) {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    if (s.started_) return;
    s.started_ = true;
    s.clean_session_ = cleanSession;
    s.on_connected_ = onConnected;
    s.io_ = std::thread([&s] { s.run(); });
}

void MqttAsyncWrapper::Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onDone,
                                 MQTTAsync_onFailure* onFailed) {
    const auto problem = topic_filter_problem(filter);
    if (!problem.empty()) {
        throw MqttError(fmt::format("Refused to subscribe to '{}': it {}", shown(filter), problem),
                        MQTTASYNC_FAILURE);
    }
    bool signal = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        auto& subs = impl_->subscriptions_;
        const Impl::Subscription entry{filter, static_cast<int>(qos), onDone, onFailed, 0};
        auto it = std::find_if(subs.begin(), subs.end(),
                               [&](const Impl::Subscription& s) { return s.filter == filter; });
        if (it == subs.end()) {
            subs.push_back(entry);
        } else {
            *it = entry;  // sent again: the broker hands out the retained messages again
        }
        if (impl_->connected_ && impl_->issue_subscriptions()) signal = impl_->wake_needed();
    }
    if (signal) impl_->wake();
}

void MqttAsyncWrapper::Unsubscribe(const std::string& filter) {
    bool signal = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        auto& subs = impl_->subscriptions_;
        subs.erase(std::remove_if(subs.begin(), subs.end(),
                                  [&](const Impl::Subscription& s) { return s.filter == filter; }),
                   subs.end());
        // A clean session forgets subscriptions with the connection, so only a
        // live connection needs the UNSUBSCRIBE.
        if (impl_->connected_) {
            const auto id = impl_->allocate_id();
            wire::put_unsubscribe(impl_->control_, id, filter);
            impl_->pending_acks_.push_back({id, nullptr, &MqttAsyncWrapper::onFailure});
            signal = impl_->wake_needed();
        }
    }
    if (signal) impl_->wake();
}

MqttMessage MqttAsyncWrapper::Receive(const std::string& filter, int timeoutMs) {
    Impl& s = *impl_;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeoutMs);
    receiving_from = &s;
    std::unique_lock<std::mutex> lock(s.held_mutex_);
    std::deque<MqttMessage>::iterator found;
    auto ready = [&] {
        found = std::find_if(s.held_.begin(), s.held_.end(),
                             [&](const MqttMessage& m) { return topic_matches(filter, m.topic); });
        return found != s.held_.end();
    };
    const bool forever = timeoutMs <= 0;
    // Every Receive renews the callers' lease on the reading: the I/O thread
    // takes it back when none comes back soon.
    auto leave = [&] {
        if (!s.delegated_) return false;
        s.reader_left_ = steady::now();
        return true;
    };
    auto arm_lease = [&] {
        s.ensure_timer(std::chrono::duration_cast<std::chrono::nanoseconds>(reader_lease).count());
    };
    while (!ready()) {
        if (!forever && steady::now() >= deadline) {
            const bool lease = leave();
            lock.unlock();
            if (lease) arm_lease();
            throw MqttError(fmt::format("No message on '{}' within {} ms", shown(filter), timeoutMs));
        }
        // About to wait: what this thread published goes out now, in one
        // write for everything since it last waited.
        lock.unlock();
        s.flush_from_caller();
        lock.lock();
        if (ready()) break;
        if (!s.reader_active_ && s.read_fd_ >= 0) {
            const int fd = s.read_fd_;
            const std::size_t room = max_held_messages - std::min(s.held_.size(), max_held_messages);
            s.reader_active_ = true;
            s.delegated_ = true;
            lock.unlock();
            try {
                s.read_as_caller(fd, forever, deadline, room);
            } catch (...) {
                lock.lock();
                s.reader_active_ = false;
                s.held_cv_.notify_all();
                const bool lease = leave();
                lock.unlock();
                if (lease) arm_lease();
                throw;
            }
            lock.lock();
            s.reader_active_ = false;
            s.held_cv_.notify_all();  // another waiter may read now, or the I/O thread close
            continue;
        }
        auto turn = [&] { return ready() || (!s.reader_active_ && s.read_fd_ >= 0); };
        if (forever) {
            s.held_cv_.wait(lock, turn);
        } else {
            s.held_cv_.wait_until(lock, deadline, turn);
        }
    }
    const bool lease = leave();
    MqttMessage message = std::move(*found);
    s.held_bytes_ -= message.payload.size() + message.topic.size();
    s.held_.erase(found);
    const auto report = s.take_drop_report();
    lock.unlock();
    Impl::log_drops(report);
    if (lease) arm_lease();
    return message;
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos, bool retain) {
    const auto* data = reinterpret_cast<const unsigned char*>(payload.data());
    impl_->publish(topic, data, payload.size(), qos, retain);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos,
                            bool retain) {
    impl_->publish(topic, payload.data(), payload.size(), qos, retain);
}

void MqttAsyncWrapper::onSuccess(void*, MQTTAsync_successData*) {}

void MqttAsyncWrapper::onFailure(void*, MQTTAsync_failureData* response) {
    WRAPPER_LOG(P7::WARNING, "MQTT request failed (code %d%s%s)", response ? response->code : 0,
                response && response->message ? ": " : "",
                response && response->message ? response->message : "");
}

}  // namespace quorvel::mosquitto
