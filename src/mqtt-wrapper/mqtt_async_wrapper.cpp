// The front of the client: each call goes to the link (the protocol
// session and the socket under one lock), the hold queue, the reader
// hand-over or the I/O loop; the locking rule of each is at the top of its
// own file. This file holds no lock of its own.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include "mqtt-wrapper/broker_address.h"
#include "mqtt-wrapper/core/codec.h"
#include "mqtt-wrapper/core/topic_rules.h"
#include "mqtt-wrapper/io/callback_data.h"
#include "mqtt-wrapper/io/hold_queue.h"
#include "mqtt-wrapper/io/io_loop.h"
#include "mqtt-wrapper/io/link.h"
#include "mqtt-wrapper/io/read_pacing.h"
#include "mqtt-wrapper/io/reader_handover.h"
#include "mqtt-wrapper/p7.h"

#include <fmt/format.h>
#include <poll.h>

#include <algorithm>
#include <atomic>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr std::size_t max_out_bytes = 64 * 1024;  // while connected, Send waits beyond this
constexpr std::size_t max_held_messages = 1000;
constexpr std::size_t max_held_bytes = 1 << 20;
constexpr std::size_t read_chunk_bytes = 64 * 1024;
constexpr int read_ahead_chunks = 4;  // 256 MB/s at one read-ahead a millisecond
constexpr auto reader_lease = 10ms;   // longest the socket waits for a receive loop to come back
const char* const source_file = "src/mqtt-wrapper/mqtt_async_wrapper";

// The session's settings take the password over from the address: the
// session keeps the one copy.
SessionSettings settings_for(const std::string& client_id, BrokerAddress& address) {
    if (client_id.size() > codec::max_string_bytes) {
        throw MqttError("Client identifier longer than 65535 bytes");
    }
    SessionSettings s;
    s.client_id = client_id;
    s.user = address.user;
    s.password = std::move(address.password);
    s.has_password = address.has_password;
    return s;
}

// Counts a caller inside Receive for the destructor, which waits for it.
class Inside {
public:
    explicit Inside(HoldQueue& held) : held_(held) { held_.enter(); }
    ~Inside() { held_.leave(); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

private:
    HoldQueue& held_;
};

}  // namespace

struct MqttAsyncWrapper::Impl {
    MqttAsyncWrapper* const owner;
    HoldQueue held{max_held_messages, max_held_bytes};
    Link link;
    ReaderHandover handover{reader_lease};
    IoLoop io;
    std::atomic<bool> closing{false};
    MQTTAsync_connectionLost* on_lost = nullptr;
    ReadPacing pacing;                      // the leader's
    std::atomic<steady::rep> last_read{0};  // by a receive loop reading ahead

    Impl(MqttAsyncWrapper* o, const std::string& client_id)
        : Impl(o, client_id, broker_address_from_environment()) {}
    Impl(MqttAsyncWrapper* o, const std::string& client_id, BrokerAddress address)
        : Impl(o, settings_for(client_id, address), std::move(address)) {}
    // A reference: settings_for has had the address before it moves on.
    Impl(MqttAsyncWrapper* o, SessionSettings settings, BrokerAddress&& address)
        : owner(o), link(std::move(settings), std::move(address), held), io(link, handover, held, owner) {}

    // Output was queued: the I/O loop writes it, unless a receive loop is
    // between two Receive calls and will write it itself.
    void queued() {
        if (!handover.lease_held(steady::now())) io.wake();
    }

    void left_socket() {
        if (handover.leave(steady::now())) io.wake();
        held.notify();  // a follower may lead now
    }

    // Under load, lets input gather before the read; a kick ends the pause.
    void hold_off(pollfd& kick, steady::time_point deadline, bool forever) {
        auto pause = std::chrono::duration_cast<std::chrono::nanoseconds>(pacing.before_read());
        if (pause.count() == 0 || link.buffered()) return;
        if (!forever) pause = std::min(pause, std::max(deadline - steady::now(), steady::duration::zero()));
        // poll, not ppoll: glibc 2.36's fortified ppoll passes a 64-bit
        // timespec to the 32-bit call on 32-bit targets.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(pause).count();
        if (ms > 0) ::poll(&kick, 1, static_cast<int>(ms));
    }

    // A caller's turn at the socket: waits for input until the deadline or
    // a kick (a revoke, or a nudge for a message the I/O loop read), reads no more than the hold queue has
    // room for (a burst waits in the socket rather than push out what this caller has yet to take), then
    // leaves the socket before running any callback.
    void lead(int fd, const std::string& filter, steady::time_point deadline, bool forever) {
        // The I/O loop nudges a leader after it hands a message over; one
        // handed over before this caller led is looked for here.
        if (held.contains(filter)) return left_socket();
        pollfd p[2] = {{fd, POLLIN, 0}, {handover.kick_fd(), POLLIN, 0}};
        hold_off(p[1], deadline, forever);
        LinkEvents events;
        bool broke = false;
        // Input that hands nothing out (a PINGRESP, an acknowledgement) keeps
        // the lead: leaving would wake the I/O loop for nothing.
        for (;;) {
            int timeout = -1;
            if (!forever) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
                timeout = static_cast<int>(std::max<long long>(left.count() + 1, 0));
            }
            // Only a full queue stops this caller: it waits for another topic,
            // which may already wait undecoded behind the held ones.
            const bool beyond_room = held.full();
            if (link.buffered(beyond_room)) {
                p[0].revents = POLLIN;  // input the socket no longer shows
                p[1].revents = 0;
            } else if (::poll(p, 2, timeout) <= 0) {
                break;
            }
            if (p[1].revents & POLLIN) {
                handover.drain_kick();
                break;
            }
            broke = !link.read(read_chunk_bytes, events, beyond_room);
            if (events.messages > 0) pacing.read(steady::now(), events.messages, events.filled);
            if (broke || events.messages > 0 || !events.told.empty()) break;
            if (link.flush() != Link::Flush::done) io.wake();  // acknowledgements
        }
        left_socket();
        if (broke) io.wake();
        deliver(events, owner);
    }

    // A receive loop that is behind reads on between the messages it takes,
    // once per pause at most: what it leaves to the socket the broker would
    // queue, and drop the newest of. Messages that a newer one supersedes
    // make the room (see HoldQueue).
    void read_ahead() {
        const auto now = steady::now();
        const auto last = steady::time_point(steady::duration(last_read.load(std::memory_order_relaxed)));
        if (now - last < ReadPacing::pause) return;
        const int fd = handover.try_lead();
        if (fd < 0) return;
        LinkEvents events;
        bool broke = false;
        for (int i = 0; i < read_ahead_chunks && !broke; ++i) {
            events.filled = false;
            broke = !link.read(read_chunk_bytes, events);
            if (!events.filled) break;  // the socket is empty, or the queue full
        }
        last_read.store(now.time_since_epoch().count(), std::memory_order_relaxed);
        left_socket();
        if (broke) io.wake();
        deliver(events, owner);
    }

    void publish(const std::string& topic, const unsigned char* data, std::size_t size, Qos qos,
                 bool retain) {
        if (!link.publish(topic, data, size, qos, retain)) return;
        if (!link.full(max_out_bytes) || io.on_io_thread()) return queued();
        // Back-pressure: write what the socket takes, then wait for the I/O
        // loop to write the rest (never on the I/O thread itself).
        if (link.flush() != Link::Flush::done) io.wake();
        while (!closing && link.full(max_out_bytes)) {
            io.wake();
            link.wait_for_room(max_out_bytes, closing);
        }
    }
};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : impl_(std::make_unique<Impl>(this, clientId)) {}

MqttAsyncWrapper::~MqttAsyncWrapper() {
    Impl& s = *impl_;
    s.closing = true;
    s.held.close();
    s.link.wake_room_waiters();
    if (!s.io.started()) {
        if (const auto unsent = s.link.unsent_publications()) {
            P7::getTrace()->Trace(0, P7::WARNING, nullptr, __LINE__, source_file, "~MqttAsyncWrapper",
                                  "%zu publications were never sent: the client was never connected", unsent);
        }
    }
    s.io.stop();
    s.held.wait_until_empty_of_callers();
}

void MqttAsyncWrapper::Connect(bool cleanSession, MQTTAsync_onSuccess* onConnected, MQTTAsync_onFailure*) {
    impl_->io.start(cleanSession, onConnected, impl_->on_lost);
}

void MqttAsyncWrapper::SetConnectionLost(MQTTAsync_connectionLost* onLost) {
    impl_->on_lost = onLost;
}

void MqttAsyncWrapper::SetMessageLimit(const std::string& filter, std::size_t maxBytes) {
    impl_->link.allow_larger(filter, maxBytes);
}

void MqttAsyncWrapper::SetSupersede(const std::string& filter, MqttSupersedeKey* key) {
    impl_->held.supersede(filter, key);
}

void MqttAsyncWrapper::Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onDone,
                                 MQTTAsync_onFailure* onFailed) {
    if (impl_->link.subscribe(filter, qos, onDone, onFailed)) impl_->queued();
}

void MqttAsyncWrapper::Unsubscribe(const std::string& filter) {
    if (impl_->link.unsubscribe(filter)) impl_->queued();
}

MqttMessage MqttAsyncWrapper::Receive(const std::string& filter, int timeoutMs) {
    Impl& s = *impl_;
    const Inside inside(s.held);
    const bool forever = timeoutMs <= 0;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MqttMessage message;
        HoldQueue::Report report;
        bool wake_reader = false;
        bool more = false;
        if (s.held.take(filter, message, report, wake_reader, more)) {
            // Keeps the lease: the loop is expected back. Room again: the I/O
            // loop may hand over what waits for it.
            if (s.handover.leave_receive(steady::now()) || wake_reader) s.io.wake();
            HoldQueue::log(report);
            if (more) s.read_ahead();
            return message;
        }
        if (s.held.closed()) throw MqttError("The MQTT client is being destroyed");
        if (!forever && steady::now() >= deadline) {
            if (s.handover.leave_receive(steady::now())) s.io.wake();
            throw MqttError(fmt::format("No message on '{}' within {} ms", shown_topic(filter), timeoutMs));
        }
        // About to wait: what this thread published goes out now, in one
        // write for everything since it last waited.
        if (s.link.flush() != Link::Flush::done) s.io.wake();
        const int fd = s.handover.try_lead();
        if (fd >= 0) {
            s.lead(fd, filter, deadline, forever);
        } else {
            s.held.wait(filter, deadline, forever, [&] { return s.handover.lead_free(); });
        }
    }
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos, bool retain) {
    impl_->publish(topic, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), qos,
                   retain);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos,
                            bool retain) {
    impl_->publish(topic, payload.data(), payload.size(), qos, retain);
}

bool MqttAsyncWrapper::IsConnected() const {
    return impl_->link.state() == Session::State::connected && !impl_->link.broken();
}

bool MqttAsyncWrapper::InputHeldBack() const {
    return impl_->io.held_back_lately() || impl_->held.replaced_lately();
}

const std::string& MqttAsyncWrapper::ServerUri() const {
    return impl_->link.address().uri;
}

void MqttAsyncWrapper::onSuccess(void*, MQTTAsync_successData*) {}

void MqttAsyncWrapper::onFailure(void*, MQTTAsync_failureData* response) {
    P7::getTrace()->Trace(0, P7::WARNING, nullptr, __LINE__, source_file, "onFailure",
                          "MQTT request failed (code %d%s%s)", response ? response->code : 0,
                          response && response->message ? ": " : "",
                          response && response->message ? response->message : "");
}

}  // namespace quorvel::mosquitto
