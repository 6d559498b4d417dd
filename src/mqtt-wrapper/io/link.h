#pragma once

// The session and the transport of the current connection, under one lock:
// what every thread of the client goes through to queue, write and read.
//
// Concurrency: mutex_ guards the session, the transport's reads and writes
// and the broken flag. It is held to queue a call, to write without blocking
// and to read without blocking and decode, and never across a wait, a log
// record or a user callback; messages reach the hold queue under it, so they
// keep the order in which they were read. Lock order: mutex_, then the hold
// queue's. room_ is waited on by Send while the output is full.

#include "mqtt-wrapper/common/broker_address.h"
#include "mqtt-wrapper/core/session.h"
#include "mqtt-wrapper/io/hold_queue.h"
#include "mqtt-wrapper/io/transport.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::mosquitto {

// The most one read takes from the socket.
constexpr std::size_t read_chunk_bytes = 64 * 1024;

// What a read or a state change produced, to act on with no lock held.
struct LinkEvents {
    std::vector<Event> told;   // notices and completions, in the order they happened
    std::size_t messages = 0;  // handed to the hold queue
    HoldQueue::Report held;    // drops and replacements, to report
    bool filled = false;       // the read took all it might: more may be waiting
};

// Logs the notices and drops, and runs the completion callbacks, each
// guarded: a callback that throws is logged. Call with no lock held.
void deliver(LinkEvents& events, void* context);

class Link {
public:
    Link(SessionSettings settings, BrokerAddress address, HoldQueue& held);

    const BrokerAddress& address() const { return address_; }

    // Calls from the API. Each returns true when output waits to be written
    // on a live connection.
    bool publish(std::string_view topic, const unsigned char* payload, std::size_t size, Qos qos,
                 bool retain);
    bool subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* on_done,
                   MQTTAsync_onFailure* on_failed);
    bool unsubscribe(const std::string& filter);
    void allow_larger(std::string filter, std::size_t bytes);

    enum class Flush { done, partial, broken };
    // Writes what the session has without blocking.
    Flush flush();
    // Back-pressure for Send: true when more than limit bytes wait on a live
    // connection that still takes output; wait_for_room waits until fewer
    // do, the output stalls, the connection goes, or stop is set.
    // through_stalls: also while the output stalls, as long as the
    // connection lasts (it is closed once the output has not drained for
    // a keep-alive).
    bool full(std::size_t limit, bool through_stalls = false);
    void wait_for_room(std::size_t limit, const std::atomic<bool>& stop, bool through_stalls = false);
    void wake_room_waiters();

    // Hands the hold queue what waits decoded for room, then reads at most
    // max_bytes that have arrived, decodes them and hands over what the
    // queue has room for; the rest waits, and while it does, nothing more
    // is read. beyond_room: hands over everything (the queue drops its
    // oldest). False when the connection is gone or broke the protocol.
    bool read(std::size_t max_bytes, LinkEvents& events, bool beyond_room = false);
    // Input already taken from the socket waits to be handed over now (TLS
    // holds some, or the hold queue has made room, or beyond_room: any waits
    // undecoded): a poll of the socket would not show it.
    bool buffered(bool beyond_room = false);
    // Input waits for room in the hold queue: the socket is not read.
    bool waiting_for_room();

    // The I/O loop's part.
    bool broken();
    // Socket and TLS, then CONNECT queued; why it failed, or nothing. See
    // Transport::open.
    std::optional<Closed> connect(bool clean_session, int abort_fd);
    std::string transport_description();
    void tick(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point next_deadline();
    bool output_pending();
    void disconnect();
    bool disconnect_written();
    // Session state after a connection attempt or a loss.
    Session::State state();
    int fd();
    // Closes the connection: why (stopped when nothing broke it), and
    // publications lost with it.
    struct Loss {
        Closed closed;
        std::size_t lost_publications;
        bool served = false;  // something came after the CONNACK
    };
    Loss drop(LinkEvents& events);
    void shutdown_write();
    std::size_t unsent_publications();

private:
    bool must_wait(std::size_t limit, std::chrono::steady_clock::time_point now,
                   bool through_stalls);  // mutex_ held
    // With mutex_ held: decodes what waits while the hold queue takes it.
    void decode(LinkEvents& events, bool beyond_room);
    bool decodable();                 // with mutex_ held: room for what waits
    void set_room(bool beyond_room);  // with mutex_ held: the session's, from the hold queue's
    // With mutex_ held: takes the session's events; a close marks the link broken.
    void collect(LinkEvents& events);
    // Why a read or write failed: TLS's own reason when it has one.
    Closed with_tls_failure(CloseCode code, const char* what) const;

    const BrokerAddress address_;
    const std::shared_ptr<const TlsContext> tls_;  // for a TLS address
    HoldQueue& held_;
    std::mutex mutex_;
    std::condition_variable room_;
    Session session_;
    Transport transport_;
    std::optional<Closed> broken_;  // why the connection must close
    std::vector<Event> events_;     // taken from the session
    std::vector<MqttMessage> arrived_;
};

}  // namespace quorvel::mosquitto
