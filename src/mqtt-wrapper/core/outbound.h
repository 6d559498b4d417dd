#pragma once

// The ordered stream of packets the client sends. Not thread-safe: the
// session that owns it is guarded by its caller.
//
// Packets queued by calls (PUBLISH, SUBSCRIBE, UNSUBSCRIBE) leave in the
// order they were queued; acknowledgements and PINGREQ go ahead of them. A
// gate holds everything queued after it until it is opened (a SUBSCRIBE
// that must wait for the UNSUBACK of the same filter). What is taken for
// writing is one batch: everything ready, in one piece.

#include "mqtt-wrapper/core/codec.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::mosquitto {

class Outbound {
public:
    // Packets one after another, each encoded here with what it is beside
    // its bytes, so that nothing queued is ever decoded again.
    class Packets {
    public:
        void connect(std::string_view client_id, bool clean_session, std::uint16_t keep_alive_s,
                     const codec::Credentials& credentials);
        void publish(std::string_view topic, const unsigned char* payload, std::size_t size, int qos,
                     bool retain, std::uint16_t id) {
            const auto from = bytes_.size();
            codec::put_publish(bytes_, topic, payload, size, qos, retain, id);
            added(codec::publish, qos, id, from);
        }
        void subscribe(std::uint16_t id, std::string_view filter, int qos);
        void unsubscribe(std::uint16_t id, std::string_view filter);
        void ack(codec::Type type, std::uint16_t id);
        void bare(codec::Type type);

    private:
        friend class Outbound;
        struct Packet {
            codec::Type type;
            std::uint8_t qos;     // of a PUBLISH, or asked for by a SUBSCRIBE
            std::uint16_t id;     // 0: none
            std::uint32_t bytes;  // its length (MQTT's are under 256 MiB); each follows the one before
        };
        std::size_t size() const { return bytes_.size(); }
        bool empty() const { return bytes_.empty(); }
        void added(codec::Type type, int qos, std::uint16_t id, std::size_t from) {
            packets_.push_back(
                {type, static_cast<std::uint8_t>(qos), id, static_cast<std::uint32_t>(bytes_.size() - from)});
            if (type == codec::publish) ++publishes_;
        }
        void append(const Packets& other);
        void prepend(const Packets& other);
        void swap(Packets& other) noexcept;
        void clear();
        void clear_and_trim();  // a large buffer is given back
        void wipe();

        std::string bytes_;
        std::vector<Packet> packets_;
        std::size_t publishes_ = 0;
    };

    Outbound() = default;
    Outbound(const Outbound&) = delete;
    Outbound& operator=(const Outbound&) = delete;
    ~Outbound();

    // Where an acknowledgement or PINGREQ is encoded (and CONNECT).
    Packets& priority() { return priority_; }
    // What priority() holds has a password in it (a CONNECT, encoded into a
    // buffer that nothing is added to before it is taken for writing): its
    // bytes are wiped as soon as they are written, or dropped with a lost
    // connection.
    void holds_secret() { secret_in_priority_ = true; }
    // Where the next packet of the stream is encoded.
    Packets& tail() { return gated_.empty() ? ready_ : gated_.back().packets; }

    // Packets queued from now on wait for open_gate(id).
    void gate(std::uint16_t id);
    void open_gate(std::uint16_t id);

    // Puts packets in front of everything queued (a replay after CONNACK).
    void put_first(const Packets& packets);

    // The bytes to write now, starting with what an earlier write left;
    // the stream's own packets only when stream_open.
    std::string_view pending(bool stream_open);
    void written(std::size_t n);
    bool writing() const { return sent_ < sending_.size(); }
    // Of the batch being written, the bytes that came from priority().
    std::size_t lead_bytes() const { return lead_; }

    std::size_t queued_bytes() const;
    std::size_t queued_publishes() const;

    struct Unsent {
        std::size_t kept = 0;  // whole PUBLISH packets kept
        std::size_t torn = 0;  // of QoS 0 cut off by the lost connection (the others keep their ids)
        std::vector<std::uint16_t> ids;  // packet ids of the kept ones above QoS 0
    };
    // The connection is gone: keeps every PUBLISH not yet written, in
    // order, and drops the rest.
    Unsent keep_unsent_publishes();

private:
    struct Gated {
        std::uint16_t id;
        bool open;
        Packets packets;
    };

    Packets priority_;
    Packets ready_;
    std::deque<Gated> gated_;
    Packets sending_;
    std::size_t sent_ = 0;
    std::size_t lead_ = 0;
    bool secret_in_priority_ = false;
    bool secret_in_sending_ = false;
};

}  // namespace quorvel::mosquitto
