#pragma once

// The MQTT 3.1.1 client protocol as a state machine that does no I/O: it is
// fed the broker's bytes (in any split), the calls of the API and the
// current time, and it yields bytes to write and one ordered list of events
// (see events.h): the CONNACK, received messages, completions of
// subscriptions, notices to log and, when the connection must end, its
// code and reason. Not thread-safe: its owner guards it.
//
// One session lives as long as the client; each network connection is one
// open() ... lost() span of it. What the broker sends is checked against
// every rule of MQTT 3.1.1 that a server must keep; a violation closes the
// connection (state() becomes closed, a Closed event says why) and nothing
// of that packet or after it is handed out.

#include "mqtt-wrapper/core/codec.h"
#include "mqtt-wrapper/core/events.h"
#include "mqtt-wrapper/core/outbound.h"
#include "mqtt-wrapper/core/room.h"
#include "mqtt-wrapper/core/secret.h"
#include "mqtt-wrapper/core/types.h"

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::mosquitto {

using steady_time = std::chrono::steady_clock::time_point;

struct SessionSettings {
    std::string client_id;
    std::string user;  // empty: none
    Secret password;   // its one copy in the client
    bool has_password = false;
    std::chrono::seconds keep_alive{40};  // a PINGREQ every 30 s without other output
    std::chrono::milliseconds connect_timeout{5000};
    // Larger PUBLISH packets are skipped, but on topics that a filter of
    // larger_limits matches, up to its own limit. With the unit's
    // MemoryMax=32M: the largest message leaves peak memory at a third of it.
    std::size_t max_incoming_bytes = 1 << 20;
    std::vector<std::pair<std::string, std::size_t>> larger_limits;  // filter, bytes
    std::size_t max_offline_publishes = 2048;                        // kept while not connected
    std::size_t max_offline_bytes = 1 << 20;
    // Output that makes no progress for this long (the broker reads
    // nothing) is kept as while not connected: within those limits.
    std::chrono::milliseconds output_stall{5000};
};

class Session {
public:
    enum class State { idle, connecting, connected, closed };

    explicit Session(SessionSettings settings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A new network connection: CONNECT goes first, then nothing else until
    // the broker's CONNACK accepts it.
    void open(bool clean_session, steady_time now);
    // The connection is gone: unsent publications are kept for the next one,
    // pending subscriptions fail, and the subscription table is replayed
    // after the next CONNACK. Returns how many publications were sent on it
    // without their acknowledgement, or cut off by it.
    std::size_t lost();
    // Orderly end: DISCONNECT after everything queued.
    void disconnect();

    State state() const { return state_; }
    bool session_present() const { return session_present_; }
    bool served() const { return served_; }  // something came after the CONNACK
    bool disconnecting() const { return disconnecting_; }

    // Input, in any split. Bytes after a violation are ignored.
    void receive(std::string_view bytes, steady_time now);
    // Or without a copy: read into input_room(n), then input_added(m <= n).
    char* input_room(std::size_t n);
    void input_added(std::size_t n, steady_time now);

    // How many more messages, and of how many bytes of topic and payload,
    // the owner can take (unlimited until set). Decoding stops in front of a
    // message beyond them; what follows it waits, in order, undecoded, until
    // the room is set again and decode() is called. A message of more bytes
    // than the room still passes while no message is held (bytes 0 means
    // none is).
    void set_room(Room room) { room_ = room; }
    void decode(steady_time now);
    // Input waits undecoded, and decoding stopped for lack of room; fits:
    // whether that room is enough for the message it stopped at.
    bool waiting_for_room() const { return waiting_for_room_; }
    bool fits(Room room) const {
        return room.messages > 0 && (!room.holding || waiting_bytes_ <= room.bytes);
    }
    // Bytes received and not yet decoded.
    std::size_t input_pending() const;

    // Time: queues PINGREQ, or closes on a missing CONNACK or PINGRESP. A
    // PINGREQ is answered in time from when it left this machine, and its
    // answer may wait behind what the broker sends first; until it has left
    // (behind megabytes on a slow link), the link is judged by whether the
    // output drains. Output that does not drain for that long (the broker
    // reads nothing) closes the connection whatever else the broker sends.
    void tick(steady_time now);
    steady_time next_deadline() const;
    // The socket has taken no output, and none has left it, for the stall time.
    bool output_stalled(steady_time now) const;

    // Calls. publish throws MqttError for a topic a broker would refuse and,
    // while not connected or while the output is stalled, when the offline
    // limits are reached (code MqttError::Code::buffer_full).
    void publish(std::string_view topic, const unsigned char* payload, std::size_t size, Qos qos, bool retain,
                 steady_time now);
    void subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* on_done,
                   MQTTAsync_onFailure* on_failed);
    void unsubscribe(const std::string& filter);
    // Messages on topics that filter matches may be up to bytes long.
    void allow_larger(std::string filter, std::size_t bytes) {
        settings_.larger_limits.emplace_back(std::move(filter), bytes);
    }

    // Output: what to write now, and how much of it was written. unsent:
    // how many of all the bytes written on this connection the socket still
    // holds, not yet taken by the other end (0: all have left).
    std::string_view pending_output();
    void output_written(std::size_t n, steady_time now, std::size_t unsent = 0);
    // The socket's queue looked at again, without a write.
    void output_unsent(std::size_t unsent, steady_time now);
    std::size_t queued_bytes() const { return out_.queued_bytes(); }
    std::size_t queued_publishes() const { return out_.queued_publishes(); }

    // Events since the last take, in the order they happened, appended to into.
    void take_events(std::vector<Event>& into);

private:
    struct Subscription {
        std::string filter;
        int qos;
        MQTTAsync_onSuccess* on_done;
        MQTTAsync_onFailure* on_failed;
        bool issued;     // sent on the current connection
        bool confirmed;  // acknowledged by the broker, which keeps it in a present session
    };

    struct Pending {
        std::uint16_t id;
        bool subscribe;
        std::string filter;
        MQTTAsync_onSuccess* on_done;
        MQTTAsync_onFailure* on_failed;
        bool gated;  // a later SUBSCRIBE of the filter waits for this UNSUBACK
    };

    // Bytes read and not yet handled. Grows without zeroing what it reads into,
    // and gives back what a large packet needed.
    class Input;

    void parse(steady_time now);
    bool room_for(std::size_t bytes) const;
    void reset_input();
    void acknowledge(codec::Type type, std::uint16_t id);
    void handle(const codec::Header& h, std::string_view body);
    std::size_t limit_for(std::string_view topic) const;
    void handle_connack(std::string_view body);
    void handle_publish(const codec::Header& h, std::string_view body);
    void close(CloseCode code, std::string reason);
    void violated(std::string_view what);
    void note_unsent(std::size_t unsent, steady_time now);
    void acknowledged(std::uint16_t id, int granted);
    void released(std::uint16_t id);
    std::uint16_t allocate_id();
    void put_subscribe(Outbound::Packets& out, Subscription& s);
    void put_unsubscribe(Outbound::Packets& out, const std::string& filter);
    void replay();
    bool subscribed(const std::string& topic) const;
    // Messages dropped for their topic: the first of each kind is told at
    // once, the rest counted and told at most once a minute.
    struct Drops {
        explicit Drops(const char* what) : kind(what) {}
        const char* kind;
        std::size_t untold = 0;
        std::string last;  // topic, size and reason of the last one untold
        steady_time told{};
    };
    void dropped(Drops& drops, std::string_view topic, std::size_t bytes, std::string_view why);
    void tell_drops(steady_time now);
    steady_time keep_alive_deadline() const;
    void index_filter(std::size_t subscription);
    std::size_t exact_at(std::string_view filter) const;
    void index_filters();

    SessionSettings settings_;
    State state_ = State::idle;
    bool clean_session_ = true;
    bool disconnecting_ = false;
    bool session_present_ = false;
    bool served_ = false;
    steady_time opened_{};
    steady_time last_output_{};
    steady_time ping_sent_{};
    bool ping_outstanding_ = false;
    // Output of this connection: bytes written, bytes known to have left
    // the socket, when that last grew and when the socket was last asked.
    std::uint64_t written_ = 0;
    std::uint64_t left_ = 0;
    steady_time last_drain_{};
    steady_time last_sample_{};
    steady_time last_input_{};
    std::uint64_t ping_end_ = 0;  // where the queued PINGREQ ends in the output; 0 until a batch takes it
    bool ping_left_ = false;
    steady_time ping_left_at_{};
    bool blocked_ = false;  // the socket took less output than it was given
    steady_time blocked_since_{};

    Outbound out_;
    std::unique_ptr<Input> in_;
    std::vector<Subscription> subscriptions_;
    std::vector<Pending> pending_;                 // SUBSCRIBE and UNSUBSCRIBE awaiting their ack
    std::vector<std::string> unsubscribe_later_;   // without a clean session, for the next connection
    std::vector<std::uint32_t> exact_subscribed_;  // subscriptions_ without wildcards, by filter
    std::vector<std::string> unsubscribing_;       // exact filters of pending UNSUBSCRIBEs
    std::vector<std::string> wildcard_filters_;
    std::bitset<65536> ids_in_use_;     // outgoing packet ids
    std::bitset<65536> publish_ids_;    // those of QoS 1 and 2 publications not yet acknowledged
    std::bitset<65536> qos2_received_;  // QoS 2 PUBLISH delivered, PUBREL not yet seen
    std::uint16_t last_id_ = 0;

    std::vector<Event> events_;
    std::size_t messages_ = 0;        // among events_
    std::size_t messages_bytes_ = 0;  // of their topics and payloads
    Room room_{SIZE_MAX, SIZE_MAX, false};
    bool waiting_for_room_ = false;
    std::size_t waiting_bytes_ = 0;  // of the message decoding stopped at

    steady_time input_at_{};  // of the input being decoded
    Drops unmatched_{"on topics no subscription matches"};
    Drops invalid_{"on invalid topics"};
};

}  // namespace quorvel::mosquitto
