#pragma once

// The ordered stream of packets the client sends. Not thread-safe: the
// session that owns it is guarded by its caller.
//
// Packets queued by calls (PUBLISH, SUBSCRIBE, UNSUBSCRIBE) leave in the
// order they were queued; acknowledgements and PINGREQ go ahead of them. A
// gate holds everything queued after it until it is opened (a SUBSCRIBE
// that must wait for the UNSUBACK of the same filter). What is taken for
// writing is one batch: everything ready, in one piece.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::mosquitto {

class Outbound {
public:
    Outbound() = default;
    Outbound(const Outbound&) = delete;
    Outbound& operator=(const Outbound&) = delete;
    ~Outbound();

    // Where an acknowledgement or PINGREQ is encoded (and CONNECT).
    std::string& priority() { return priority_; }
    // What priority() holds has a password in it (a CONNECT, encoded into a
    // buffer that nothing is added to before it is taken for writing): its
    // bytes are wiped as soon as they are written, or dropped with a lost
    // connection.
    void holds_secret() { secret_in_priority_ = true; }
    // Where the next packet of the stream is encoded.
    std::string& tail() { return gated_.empty() ? ready_ : gated_.back().bytes; }
    void count_publish() { ++(gated_.empty() ? publishes_ : gated_.back().publishes); }

    // Packets queued from now on wait for open_gate(id).
    void gate(std::uint16_t id);
    void open_gate(std::uint16_t id);

    // Puts bytes in front of everything queued (a replay after CONNACK).
    void put_first(const std::string& bytes);

    // The bytes to write now, starting with what an earlier write left;
    // the stream's own packets only when stream_open.
    std::string_view pending(bool stream_open);
    void written(std::size_t n);
    bool writing() const { return sent_ < sending_.size(); }

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
        std::string bytes;
        std::size_t publishes;
    };

    std::string priority_;
    std::string ready_;
    std::deque<Gated> gated_;
    std::string sending_;
    std::size_t sent_ = 0;
    std::size_t publishes_ = 0;  // in ready_
    bool secret_in_priority_ = false;
    bool secret_in_sending_ = false;
};

}  // namespace quorvel::mosquitto
