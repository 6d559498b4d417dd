// The client's protocol core run by a program drawn from the input: broker
// bytes, time, calls and writes in any interleaving. Two sessions run the
// same program, one fed each chunk whole and one in pieces; they must agree
// after every step, and each must keep the rules checked below. A violation
// traps.
//
// Input: a setup byte (clean session, credentials, limits, keep-alive), a
// flags byte (whether a CONNACK comes first, and its session-present bit),
// then operations of one byte each, the low four bits naming the operation
// and the high four its argument; some take further bytes. Broker bytes are
// either raw bytes of the input or packets built here by a cooperating
// broker. While no raw bytes have come, the cooperating broker's view (its
// subscriptions, its unreleased QoS 2 packet ids) is checked as well.

#include "mqtt-wrapper/core/codec.h"
#include "mqtt-wrapper/core/session.h"
#include "mqtt-wrapper/core/topic_rules.h"
#include "packet_kit.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace {

namespace mq = quorvel::mosquitto;
namespace codec = quorvel::mosquitto::codec;
using State = mq::Session::State;
using packet_kit::ack;
using Type = packet_kit::Type;
using namespace std::chrono_literals;

[[noreturn]] void violated(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant violated: %s%s%.*s\n", what, detail.empty() ? "" : ": ",
                 static_cast<int>(detail.size()), detail.data());
    __builtin_trap();
}

void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) violated(what, detail);
}

enum Op : unsigned {
    feed_short = 0,      // next byte: length; argument: how the second session splits it
    feed_long = 1,       // next two bytes: length
    advance = 2,         // argument: how far time moves, then tick
    write = 3,           // argument 8 and up: all of the output; else next byte: how many bytes
    publish = 4,         // argument: topic; next byte: QoS, retain, payload size
    subscribe = 5,       // argument: filter; next byte: QoS, callbacks
    unsubscribe = 6,     // argument: filter
    lose = 7,            // the connection is gone
    reopen = 8,          // argument: clean session, CONNACK follows, its session-present bit
    broker_publish = 9,  // argument: topic; next bytes: flags and packet id, payload size and faults
    answer = 10,         // argument: which packet of the client; next byte: how
    broker_pubrel = 11,  // argument: packet id
    pingresp = 12,
    connack = 13,     // argument: return code or a fault, session-present bit
    disconnect = 14,  // the owner makes no more calls after it
    feed_rest = 15,   // everything left
};

constexpr const char* op_names[] = {"feed_short", "feed_long",      "advance",     "write",
                                    "publish",    "subscribe",      "unsubscribe", "lose",
                                    "reopen",     "broker_publish", "answer",      "broker_pubrel",
                                    "pingresp",   "connack",        "disconnect",  "feed_rest"};

// SESSION_FUZZ_TRACE=1 prints each step and what the session did, to read a crash input.
bool tracing() {
    static const bool on = std::getenv("SESSION_FUZZ_TRACE") != nullptr;
    return on;
}

void trace_bytes(const char* what, std::string_view bytes) {
    if (!tracing()) return;
    std::fprintf(stderr, "  %s:", what);
    for (const char c : bytes.substr(0, 64)) std::fprintf(stderr, " %02X", static_cast<unsigned char>(c));
    std::fprintf(stderr, "%s\n", bytes.size() > 64 ? " ..." : "");
}

constexpr std::size_t incoming_limits[] = {4096, 256, 32, 8};
struct OfflineLimits {
    std::size_t publishes;
    std::size_t bytes;
};
constexpr OfflineLimits offline_limits[] = {{4, 256}, {1, 64}, {16, 4096}, {0, 0}};
constexpr std::chrono::seconds keep_alives[] = {30s, 3s, 1s, 30s};
constexpr std::chrono::milliseconds connect_timeout = 5000ms;
constexpr std::chrono::milliseconds time_steps[] = {0ms,    1ms, 10ms,   100ms, 500ms, 999ms, 1s,  2s,
                                                    2250ms, 3s,  4999ms, 10s,   22s,   23s,   30s, 3600s};
constexpr std::size_t split_pieces[] = {1, 1, 2, 3, 4, 5, 6, 7, 9, 13, 17, 32, 64, 127, 256, 4096};
constexpr std::size_t room_slack_bytes = 7;  // input_room asks for more than arrives
constexpr std::size_t payload_sizes[] = {0,   1,   2,   3,    4,    5,    7,    8,    15,   16,  17,
                                         31,  32,  33,  63,   64,   100,  127,  128,  200,  250, 251,
                                         252, 256, 300, 1000, 2000, 4085, 4086, 4090, 4096, 5000};
constexpr std::uint16_t packet_ids[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 100, 255, 256, 0x7FFF, 0xFFFF, 0};
constexpr unsigned char suback_failure = 0x80;

const std::string& client_id() {
    static const std::string id = "fuzz";
    return id;
}

std::vector<std::string> make_client_topics() {
    return {"a",
            "a/b",
            "/devices/x/controls/y",
            "$SYS/x",
            "",
            "a/+",
            "#",
            std::string("a\0b", 3),
            "\xc3\xa9",
            "\xff",
            "a//b",
            "/",
            std::string(199, '/'),
            std::string(200, '/'),
            "\x7f",
            "\xef\xbf\xbf"};
}

std::vector<std::string> make_filters() {
    return {"a",
            "a/+",
            "#",
            "+/+",
            "a/#",
            "$SYS/#",
            "",
            "a#",
            "a/+b",
            "+",
            "/devices/+/controls/+",
            "\xc3\xa9/#",
            "\xff",
            std::string("a\0", 2),
            "x/y",
            "a/b"};
}

struct BrokerTopic {
    std::string name;
    bool valid;  // as a topic a server may send
};

std::vector<BrokerTopic> make_broker_topics() {
    return {{"a", true},
            {"a/b", true},
            {"$SYS/x", true},
            {"/devices/x/controls/y", true},
            {"\xc3\xa9", true},
            {"\001ctl", true},
            {"\xef\xbf\xbf", true},
            {"a/", true},
            {"/", true},
            {"//", true},
            {std::string(300, 'x'), true},
            {"", false},
            {"a/+", false},
            {"#", false},
            {std::string("a\0b", 3), false},
            {"\xc0\x80", false}};
}

const std::vector<std::string>& client_topics() {
    static const auto t = make_client_topics();
    return t;
}

const std::vector<std::string>& filters() {
    static const auto f = make_filters();
    return f;
}

const std::vector<BrokerTopic>& broker_topics() {
    static const auto t = make_broker_topics();
    return t;
}

const unsigned char* payload_bytes() {
    static const auto bytes = [] {
        std::vector<unsigned char> b(8192);
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 31 + 7);
        return b;
    }();
    return bytes.data();
}

// Sizes and packets from the test kit rather than the codec, so that the codec is checked too.
std::size_t packet_bytes(std::size_t body) {
    return 1 + packet_kit::length_size(body) + body;
}

std::uint16_t u16_at(std::string_view s) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(s[0]) << 8) |
                                      static_cast<unsigned char>(s[1]));
}

std::string first_byte(std::string_view packet) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned char>(packet[0]));
    return text;
}

void on_done(void*, MQTTAsync_successData*) {}
void on_failed(void*, MQTTAsync_failureData*) {}

class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    unsigned byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string_view bytes(std::size_t n) {
        n = std::min(n, size_ - at_);
        const std::string_view s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }
    std::size_t left() const { return size_ - at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// What the client wrote on the current connection.
struct Wire {
    std::string bytes;
    std::size_t parsed = 0;
    bool disconnected = false;
};

// A packet of the client the cooperating broker has yet to answer.
struct Unanswered {
    codec::Type type;
    std::uint16_t id;
    int qos;
    std::string filter;
};

class Harness {
public:
    // Settings are not copied (they hold a password): make() makes them for
    // each session and the harness.
    template <class Make>
    Harness(const Make& make, bool clean)
        : settings_(make()), whole_(make()), split_(make()), first_clean_(clean) {
        // The split one hands over one message at a time, as a full hold queue
        // makes it, and must come to the same.
        split_.set_room({1, SIZE_MAX, true});
    }

    // Most programs start with a CONNACK that accepts.
    void run(Program& p) {
        const unsigned flags = p.byte();
        open(first_clean_, (flags & 0x03) != 0x03, (flags & 0x04) != 0);
        while (!p.done()) step(p);
    }

private:
    void step(Program& p) {
        const unsigned op_byte = p.byte();
        const unsigned arg = op_byte >> 4;
        if (tracing()) std::fprintf(stderr, "%s %u\n", op_names[op_byte & 0x0F], arg);
        switch (op_byte & 0x0F) {
            case feed_short:
                return raw(p.bytes(p.byte()), arg);
            case feed_long: {
                const std::size_t n = p.byte() << 8;
                return raw(p.bytes(n | p.byte()), arg);
            }
            case feed_rest:
                return raw(p.bytes(p.left()), arg);
            case advance:
                return tick(time_steps[arg]);
            case write:
                return take_output(arg >= 8 ? std::string::npos : p.byte());
            case publish:
                return call_publish(arg, p.byte());
            case subscribe:
                return call_subscribe(arg, p.byte());
            case unsubscribe:
                return call_unsubscribe(arg);
            case lose:
                return lost();
            case reopen:
                return open((arg & 1) != 0, (arg & 2) != 0, (arg & 4) != 0);
            case broker_publish: {
                const unsigned how = p.byte();
                return send_publish(arg, how, p.byte());
            }
            case answer:
                return send_answer(arg, p.byte());
            case broker_pubrel:
                return send_pubrel(packet_ids[arg]);
            case pingresp:
                return send_pingresp();
            case connack:
                return send_connack(arg & 7, (arg & 8) != 0);
            case disconnect:
                return call_disconnect();
        }
    }

    // One session fed whole, the other in pieces of a given size, every other
    // one read in place.
    void feed(std::string_view bytes, unsigned split) {
        trace_bytes("in", bytes);
        whole_.receive(bytes, now_);
        const std::size_t piece = split_pieces[split & 15];
        std::size_t at = 0;
        bool in_place = (split & 1) != 0;
        do {
            const auto n = std::min(piece, bytes.size() - at);
            if (in_place) {
                char* room = split_.input_room(n + room_slack_bytes);
                if (n > 0) std::memcpy(room, bytes.data() + at, n);
                split_.input_added(n, now_);
            } else {
                split_.receive(bytes.substr(at, n), now_);
            }
            in_place = !in_place;
            at += n;
        } while (at < bytes.size());
        // A broker packet needs at least four bytes to make the client answer with four.
        bound_ += bytes.size();
    }

    void raw(std::string_view bytes, unsigned split) {
        in_step_ = false;
        cooperative_ = false;
        feed(bytes, split);
        settle();
    }

    // A broker packet built here: whole, so the session is still at a
    // packet boundary after it when it was before.
    void structured(const std::string& packet, unsigned split) {
        feed(packet, split);
        settle();
    }

    void open(bool clean, bool with_connack, bool session_present) {
        if (disconnected_) return;
        if (whole_.state() != State::idle) lost();
        const auto before = whole_.queued_bytes();
        whole_.open(clean, now_);
        split_.open(clean, now_);
        connect_ =
            packet_kit::connect(client_id(), clean, static_cast<std::uint16_t>(settings_.keep_alive.count()),
                                settings_.user, settings_.password.view(), settings_.has_password);
        wire_ = {};
        unanswered_.clear();
        in_flight_.clear();
        unacknowledged_unsubscribes_.clear();
        subscribes_written_.clear();
        replayable_.clear();
        clean_ = clean;
        in_step_ = true;
        closed_seen_ = false;
        closed_[0] = closed_[1] = std::nullopt;
        refused_[0] = refused_[1] = 0;
        bound_ = before + connect_.size();
        settle();
        check(whole_.queued_bytes() == before + connect_.size(), "open queues exactly the CONNECT");
        check(whole_.state() == State::connecting, "open leaves the session connecting");
        if (with_connack) send_connack(0, session_present);
    }

    void lost() {
        if (whole_.state() == State::idle) return;  // the owner ends each connection once
        const auto before = whole_.queued_bytes();
        const auto lost_now = whole_.lost();
        check(lost_now == split_.lost(), "the sessions disagree on lost publications");
        lost_publications_ += lost_now;
        check(lost_publications_ <= publishes_, "more publications lost than made");
        unanswered_.clear();
        in_step_ = false;
        if (clean_) forget_broker_session();
        settle();
        check(whole_.state() == State::idle, "lost leaves the session idle");
        check(whole_.queued_bytes() <= before, "lost adds output");
        // What remains is kept publications; the input is gone with the connection.
        bound_ = whole_.queued_bytes();
    }

    void forget_broker_session() {
        broker_has_session_ = false;
        broker_subscriptions_.clear();
        broker_unreleased_.clear();
        unknown_filters_.clear();
    }

    void tick(std::chrono::milliseconds step) {
        now_ += step;
        const auto deadline = whole_.next_deadline();
        const auto state = whole_.state();
        const auto before = whole_.queued_bytes();
        whole_.tick(now_);
        split_.tick(now_);
        bound_ += 2;  // PINGREQ
        settle();
        if (now_ < deadline) {
            check(whole_.state() == state && whole_.queued_bytes() == before,
                  "a tick before the deadline changes something");
        } else if (state == State::connecting) {
            check(whole_.state() == State::closed, "no close at the CONNACK deadline");
        } else if (state == State::connected) {
            check(whole_.state() == State::closed || whole_.next_deadline() > now_,
                  "a tick at the deadline leaves it due");
        }
    }

    void take_output(std::size_t wanted) {
        const auto before = whole_.queued_bytes();
        const auto out = whole_.pending_output();
        check(out == split_.pending_output(), "the sessions want to write different bytes");
        const auto state = whole_.state();
        if (state == State::idle || state == State::closed) check(out.empty(), "output without a connection");
        if (state == State::connecting) {
            check(wire_.bytes.size() <= connect_.size() &&
                      out == std::string_view(connect_).substr(wire_.bytes.size()),
                  "before CONNACK, output other than the CONNECT");
        }
        const std::size_t n = std::min(wanted, out.size());
        const std::string written(out.substr(0, n));
        trace_bytes("out", written);
        whole_.output_written(n, now_);
        split_.output_written(n, now_);
        check(whole_.queued_bytes() == before - n, "written bytes still queued");
        bound_ -= std::min(bound_, n);
        if (state == State::connecting || state == State::connected) {
            wire_.bytes += written;
            read_wire();
        }
        settle();
    }

    void call_publish(unsigned topic_index, unsigned how) {
        if (disconnected_) return;
        const auto& topic = client_topics()[topic_index];
        const int qos = static_cast<int>(how & 3);
        const bool retain = (how & 4) != 0;
        const std::size_t size = payload_sizes[how >> 3];
        // Not connected, or the broker reads nothing: within the offline limits.
        const bool limited = whole_.state() != State::connected || whole_.output_stalled(now_);
        const auto before = whole_.queued_bytes();
        // The payload starts with the number of the call, to check the order on the wire.
        std::vector<unsigned char> payload(payload_bytes(), payload_bytes() + size);
        if (size >= 2) {
            payload[0] = static_cast<unsigned char>(publishes_ >> 8);
            payload[1] = static_cast<unsigned char>(publishes_ & 0xFF);
        }
        const bool ok = both([&](mq::Session& s) {
            s.publish(topic, payload.data(), size, static_cast<mq::Qos>(qos), retain, now_);
        });
        if (ok) {
            ++publishes_;
            const std::size_t bytes = packet_bytes(2 + topic.size() + (qos > 0 ? 2 : 0) + size);
            bound_ += bytes;
            check(whole_.queued_bytes() == before + bytes, "publish queues other than its packet");
            if (limited) {
                check(whole_.queued_bytes() <= settings_.max_offline_bytes &&
                          whole_.queued_publishes() <= settings_.max_offline_publishes,
                      "offline limits exceeded");
            }
        } else {
            check(whole_.queued_bytes() == before, "a refused publish queues bytes");
        }
        settle();
    }

    void call_subscribe(unsigned filter_index, unsigned how) {
        if (disconnected_) return;
        const auto& filter = filters()[filter_index];
        const int qos = static_cast<int>(how & 3) % 3;
        const bool connected = whole_.state() == State::connected;
        const auto before = whole_.queued_bytes();
        const bool ok = both([&](mq::Session& s) {
            s.subscribe(filter, static_cast<mq::Qos>(qos), (how & 4) ? &on_done : nullptr,
                        (how & 8) ? &on_failed : nullptr);
        });
        std::size_t bytes = 0;
        if (ok) {
            client_subscriptions_[filter] = qos;
            unknown_filters_.erase(filter);
            if (connected) bytes = packet_bytes(2 + 2 + filter.size() + 1);
        }
        bound_ += bytes;
        check(whole_.queued_bytes() == before + bytes, "subscribe queues other than its packet");
        settle();
    }

    void call_unsubscribe(unsigned filter_index) {
        if (disconnected_) return;
        const auto& filter = filters()[filter_index];
        const bool connected = whole_.state() == State::connected;
        const auto before = whole_.queued_bytes();
        const bool ok = both([&](mq::Session& s) { s.unsubscribe(filter); });
        std::size_t bytes = 0;
        if (ok) {
            ++unsubscribes_;
            client_subscriptions_.erase(filter);
            unknown_filters_.erase(filter);
            if (connected) bytes = packet_bytes(2 + 2 + filter.size());
        }
        bound_ += bytes;
        check(whole_.queued_bytes() == before + bytes, "unsubscribe queues other than its packet");
        settle();
    }

    void call_disconnect() {
        if (disconnected_ || whole_.state() != State::connected) return;
        disconnected_ = true;
        whole_.disconnect();
        split_.disconnect();
        bound_ += 2;
        settle();
        check(whole_.disconnecting(), "not disconnecting after disconnect");
    }

    // Acknowledgements queued as expected; after disconnect() they may be left out, as nothing may
    // follow DISCONNECT.
    bool acknowledged(std::size_t before, std::size_t expected) {
        const auto now_queued = whole_.queued_bytes();
        return now_queued == before + expected || (whole_.disconnecting() && now_queued == before);
    }

    // Runs a call on both sessions; they must agree on whether and why it throws.
    template <class F>
    bool both(F call) {
        std::string refused[2];
        bool threw[2] = {false, false};
        mq::Session* sessions[2] = {&whole_, &split_};
        for (int i = 0; i < 2; ++i) {
            try {
                call(*sessions[i]);
            } catch (const mq::MqttError& e) {
                threw[i] = true;
                refused[i] = e.what();
                check(!refused[i].empty(), "an MqttError without a text");
            }
        }
        check(threw[0] == threw[1] && refused[0] == refused[1], "the sessions disagree on a call",
              refused[0]);
        return !threw[0];
    }

    void send_connack(unsigned how, bool session_present) {
        // how: 0 accepts, 1 to 5 refuse, 6 is an unknown code, 7 sets a reserved flag bit
        const unsigned char code = how == 7 ? 0 : static_cast<unsigned char>(how);
        const unsigned char flags =
            static_cast<unsigned char>((session_present ? 0x01 : 0) | (how == 7 ? 0x02 : 0));
        const auto state = whole_.state();
        const bool expecting = in_step_;
        if (session_present && (clean_ || !broker_has_session_)) cooperative_ = false;  // a broker that lies
        const bool contradicts = clean_ && session_present;  // a clean session cannot be present
        if (expecting && state == State::connecting && how == 0 && !contradicts) {
            if (clean_ || !session_present) forget_broker_session();
            broker_has_session_ = !clean_;
        }
        structured(packet_kit::connack(flags, code), how);
        if (!expecting) return;
        if (state == State::connected) {
            check(whole_.state() == State::closed, "a second CONNACK accepted");
        } else if (state == State::connecting) {
            if (how == 0 && contradicts) {
                check(whole_.state() == State::closed && closed_as(mq::CloseCode::protocol_violation),
                      "a present session accepted on a clean one");
            } else if (how == 0) {
                check(whole_.state() == State::connected && whole_.session_present() == session_present,
                      "a CONNACK that accepts");
            } else if (how <= 5) {
                check(whole_.state() == State::closed && refused_[0] == static_cast<int>(how) &&
                          closed_as(mq::CloseCode::refused),
                      "a CONNACK that refuses", close_reason());
            } else {
                check(whole_.state() == State::closed && closed_as(mq::CloseCode::protocol_violation),
                      "a malformed CONNACK", close_reason());
            }
        }
    }

    void send_publish(unsigned topic_index, unsigned how, unsigned size_how) {
        const auto& topic = broker_topics()[topic_index];
        const int qos = static_cast<int>(how & 3);
        const bool dup = (how & 4) != 0;
        const bool retain = (how & 8) != 0;
        const std::uint16_t id = packet_ids[how >> 4];
        const std::size_t size = payload_sizes[size_how & 31];
        const bool runs_past = (size_how & 0x80) != 0;  // a topic length that runs past the packet
        const std::size_t body = 2 + topic.name.size() + (qos > 0 ? 2 : 0) + size;
        const std::string_view payload(reinterpret_cast<const char*>(payload_bytes()), size);
        auto packet = packet_kit::publish(topic.name, payload, qos, id, dup, retain);
        if (runs_past)
            packet.replace(1 + packet_kit::length_size(body), 2,
                           packet_kit::u16(static_cast<std::uint16_t>(body - 1)));

        const bool expecting = in_step_ && whole_.state() == State::connected;
        const bool repeat = qos == 2 && broker_unreleased_.count(id) != 0;
        const auto before = whole_.queued_bytes();
        structured(packet, (size_how >> 5) & 3);
        if (!expecting) return;
        if (qos == 3 || (dup && qos == 0)) {
            check(whole_.state() == State::closed, "a PUBLISH with a bad header accepted");
        } else if (body > settings_.max_incoming_bytes) {
            // Skipped unread, but above QoS 0 acknowledged: its packet id is read.
            if (qos > 0 && (runs_past || id == 0)) {
                check(whole_.state() == State::closed && messages_.empty(),
                      "an oversized PUBLISH with a bad packet id accepted");
            } else if (!runs_past) {
                check(whole_.state() == State::connected && messages_.empty() && notices_ == 1 &&
                          acknowledged(before, qos > 0 ? 4 : 0),
                      "an oversized PUBLISH not skipped");
            }
            check(messages_.empty(), "an oversized PUBLISH delivered");
        } else if (runs_past || (qos > 0 && id == 0)) {
            check(whole_.state() == State::closed && messages_.empty(), "a bad PUBLISH accepted");
        } else if (!topic.valid) {  // a broker's rewritten topic: dropped, told at most once a minute
            check(whole_.state() == State::connected && messages_.empty() && notices_ <= 1 &&
                      acknowledged(before, qos > 0 ? 4 : 0),
                  "a PUBLISH on an invalid topic not dropped");
            if (qos == 2) broker_unreleased_.insert(id);
        } else {
            check(whole_.state() == State::connected, "a valid PUBLISH closed the session", close_reason());
            check(acknowledged(before, qos > 0 ? 4 : 0), "a PUBLISH not acknowledged once");
            // One a subscription asked for comes out once; others may be dropped.
            const bool wanted =
                std::any_of(client_subscriptions_.begin(), client_subscriptions_.end(),
                            [&](const auto& f) { return mq::topic_matches(f.first, topic.name); });
            if (cooperative_ && wanted) {
                check(messages_.size() == (repeat ? 0 : 1), "a PUBLISH delivered other than once",
                      repeat ? "a QoS 2 repeat" : "a fresh packet id");
            } else {
                check(messages_.size() <= 1 && !(repeat && cooperative_ && !messages_.empty()),
                      "a PUBLISH delivered more than once");
            }
            if (!messages_.empty()) {
                const auto& m = messages_.front();
                check(m.topic == topic.name && m.payload.size() == size &&
                          std::equal(m.payload.begin(), m.payload.end(), payload_bytes()),
                      "a message other than the PUBLISH");
            }
            if (qos == 2) broker_unreleased_.insert(id);
        }
    }

    void send_pubrel(std::uint16_t id) {
        const bool expecting = in_step_ && whole_.state() == State::connected;
        const auto before = whole_.queued_bytes();
        structured(ack(Type::pubrel, id), id);
        if (!expecting) return;
        if (id == 0) {
            check(whole_.state() == State::closed, "PUBREL with packet id 0 accepted");
            return;
        }
        check(whole_.state() == State::connected && acknowledged(before, 4),
              "PUBREL not answered with PUBCOMP");
        broker_unreleased_.erase(id);
    }

    void send_pingresp() {
        const bool expecting = in_step_ && whole_.state() == State::connected;
        structured(packet_kit::pingresp(), 0);
        if (expecting) check(whole_.state() == State::connected, "PINGRESP closed the session");
    }

    void send_answer(unsigned which, unsigned how) {
        if (unanswered_.empty()) return;
        const auto at = unanswered_.begin() + static_cast<std::ptrdiff_t>(which % unanswered_.size());
        const Unanswered u = std::move(*at);
        unanswered_.erase(at);
        const unsigned variant = how & 3;  // 2: SUBACK refuses; 3: a bad SUBACK, or the answer twice
        const bool expecting = in_step_ && whole_.state() == State::connected;
        std::string packet;
        std::size_t answer_bytes = 0;
        switch (u.type) {
            case codec::subscribe: {
                const int granted = std::min(u.qos, static_cast<int>(how >> 2) % 3);
                const unsigned char code = variant == 2   ? suback_failure
                                           : variant == 3 ? 3
                                                          : static_cast<unsigned char>(granted);
                packet = packet_kit::suback(u.id, code);
                if (variant == 2) unknown_filters_.insert(u.filter);
                in_flight_.erase(u.id);
                break;
            }
            case codec::unsubscribe:
                packet = ack(Type::unsuback, u.id);
                in_flight_.erase(u.id);
                unacknowledged_unsubscribes_.erase(u.id);
                break;
            case codec::publish:
                packet = ack(u.qos == 1 ? Type::puback : Type::pubrec, u.id);
                if (u.qos == 1) in_flight_.erase(u.id);
                if (u.qos == 2) answer_bytes = 4;  // PUBREL
                break;
            default:  // PUBREL
                packet = ack(Type::pubcomp, u.id);
                in_flight_.erase(u.id);
                break;
        }
        if (variant == 3 && u.type != codec::subscribe) {
            packet += packet;
            answer_bytes *= 2;
        }
        const auto before = whole_.queued_bytes();
        structured(packet, how >> 4);
        if (!expecting) return;
        if (u.type == codec::subscribe && variant == 3) {
            check(whole_.state() == State::closed, "SUBACK with a bad return code accepted");
            return;
        }
        check(whole_.state() == State::connected, "an answer closed the session", close_reason());
        check(acknowledged(before, answer_bytes), "an answer queues other than its reply");
        if (u.type == codec::subscribe) {
            const auto n = std::count_if(completions_.begin(), completions_.end(),
                                         [&](const mq::Completion& c) { return c.token == u.id; });
            check(n == 1 && completions_.size() == 1, "SUBACK not completing its subscription once");
            const auto& c = completions_.front();
            if (variant == 2) {
                check(c.code == mq::CompletionCode::refused_by_broker && c.on_done == nullptr,
                      "a refused subscription");
            } else {
                check(c.on_failed == nullptr &&
                          static_cast<int>(c.code) == std::min(u.qos, static_cast<int>(how >> 2) % 3),
                      "a granted subscription");
            }
        }
    }

    // Every whole packet the client wrote on this connection: well-formed, in
    // an order a broker accepts, and what the cooperating broker makes of it.
    void read_wire() {
        for (;;) {
            const std::string_view rest = std::string_view(wire_.bytes).substr(wire_.parsed);
            codec::Header h{};
            const auto framing = codec::read_header(rest, h);
            check(framing != codec::Framing::malformed, "the client wrote a malformed fixed header");
            if (framing != codec::Framing::complete || rest.size() < h.header_bytes + h.body_bytes) return;
            const bool first = wire_.parsed == 0;
            wire_.parsed += h.header_bytes + h.body_bytes;
            on_written(h, rest.substr(0, h.header_bytes + h.body_bytes),
                       rest.substr(h.header_bytes, h.body_bytes), first);
        }
    }

    void on_written(const codec::Header& h, std::string_view packet, std::string_view body, bool first) {
        if (first) {
            check(packet == connect_, "a connection starting with other than its CONNECT");
            return;
        }
        check(!wire_.disconnected, "a packet after DISCONNECT", first_byte(packet));
        switch (h.type) {
            case codec::publish: {
                codec::Publish p{};
                check(((h.flags >> 1) & 3) != 3 && codec::read_publish(h, body, p) == nullptr &&
                          mq::topic_name_problem(p.topic).empty(),
                      "a bad PUBLISH written");
                if (p.payload.size() >= 2) {
                    const std::size_t call = u16_at(p.payload);
                    check(call + 1 > publications_written_, "a publication out of call order, or twice");
                    publications_written_ = call + 1;
                }
                if (p.qos > 0) {
                    check(in_flight_.insert(p.id).second || !in_step_, "a packet id in use twice");
                    unanswered_.push_back({codec::publish, p.id, p.qos, {}});
                }
                return;
            }
            case codec::puback:
            case codec::pubrec:
            case codec::pubcomp:
                check(h.flags == 0 && h.body_bytes == 2 && u16_at(body) != 0,
                      "a bad acknowledgement written");
                return;
            case codec::pubrel:
                check(h.flags == 2 && h.body_bytes == 2 && u16_at(body) != 0, "a bad PUBREL written");
                unanswered_.push_back({codec::pubrel, u16_at(body), 2, {}});
                return;
            case codec::subscribe: {
                check(h.flags == 2 && h.body_bytes >= 5, "a bad SUBSCRIBE written");
                const auto id = u16_at(body);
                const std::size_t length = u16_at(body.substr(2));
                check(id != 0 && h.body_bytes == 4 + length + 1, "a bad SUBSCRIBE written");
                const std::string filter(body.substr(4, length));
                const int qos = static_cast<unsigned char>(body.back());
                check(qos <= 2 && mq::topic_filter_problem(filter).empty(), "a bad SUBSCRIBE written",
                      filter);
                check(in_flight_.insert(id).second || !in_step_, "a packet id in use twice");
                // A subscribe call waits for the UNSUBACK of its filter; the replay after CONNACK,
                // which comes first, need not.
                const bool replayed = ++subscribes_written_[filter] == 1 && replayable_.count(filter) != 0;
                if (in_step_ && !replayed) {
                    for (const auto& [unsubscribe_id, unsubscribed] : unacknowledged_unsubscribes_) {
                        check(unsubscribed != filter, "SUBSCRIBE before the UNSUBACK of its filter", filter);
                    }
                }
                broker_subscriptions_[filter] = qos;
                unanswered_.push_back({codec::subscribe, id, qos, filter});
                return;
            }
            case codec::unsubscribe: {
                check(h.flags == 2 && h.body_bytes >= 4, "a bad UNSUBSCRIBE written");
                const auto id = u16_at(body);
                const std::size_t length = u16_at(body.substr(2));
                check(id != 0 && h.body_bytes == 4 + length, "a bad UNSUBSCRIBE written");
                std::string filter(body.substr(4, length));
                check(mq::topic_filter_problem(filter).empty(), "a bad UNSUBSCRIBE written", filter);
                check(in_flight_.insert(id).second || !in_step_, "a packet id in use twice");
                broker_subscriptions_.erase(filter);
                unacknowledged_unsubscribes_[id] = filter;
                unanswered_.push_back({codec::unsubscribe, id, 0, std::move(filter)});
                return;
            }
            case codec::pingreq:
                check(h.flags == 0 && h.body_bytes == 0, "a bad PINGREQ written");
                return;
            case codec::disconnect:
                check(h.flags == 0 && h.body_bytes == 0, "a bad DISCONNECT written");
                wire_.disconnected = true;
                return;
            default:
                violated("the client wrote a packet type it never sends", first_byte(packet));
        }
    }

    // After every step: both sessions agree, and each keeps its rules.
    // One session's events of a step, sorted by kind; a close and a
    // refusal are kept until the next open.
    struct Taken {
        std::string kinds;  // the order of the events, one letter each
        std::vector<mq::MqttMessage> messages;
        std::vector<mq::Completion> completions;
        std::vector<std::string> notices;
        bool connected = false;
    };

    void sort_events(std::vector<mq::Event>& events, Taken& into, int which) {
        for (auto& e : events) {
            into.kinds += "CRMAN!"[e.index()];
            if (auto* m = std::get_if<mq::MqttMessage>(&e)) {
                into.messages.push_back(std::move(*m));
            } else if (auto* c = std::get_if<mq::Completion>(&e)) {
                into.completions.push_back(*c);
            } else if (auto* n = std::get_if<mq::Notice>(&e)) {
                into.notices.push_back(std::move(n->text));
            } else if (std::holds_alternative<mq::Connected>(e)) {
                check(!into.connected, "two CONNACKs accepted in one step");
                into.connected = true;
            } else if (auto* r = std::get_if<mq::Refused>(&e)) {
                check(refused_[which] == 0 && !closed_[which], "a refusal after a close or another refusal");
                refused_[which] = r->code;
            } else {
                check(!closed_[which], "closed twice");
                closed_[which] = std::get<mq::Closed>(std::move(e));
            }
        }
        events.clear();
    }

    std::string close_reason() const { return closed_[0] ? closed_[0]->text : std::string(); }
    bool closed_as(mq::CloseCode code) const { return closed_[0] && closed_[0]->code == code; }

    // After every step: both sessions agree, and each keeps its rules.
    void settle() {
        std::vector<mq::Event> events;
        Taken taken[2];
        for (split_.take_events(events); split_.waiting_for_room(); split_.take_events(events)) {
            sort_events(events, taken[1], 1);
            split_.decode(now_);
        }
        sort_events(events, taken[1], 1);
        whole_.take_events(events);
        sort_events(events, taken[0], 0);
        check(taken[0].kinds == taken[1].kinds, "the sessions disagree on the order of events",
              taken[0].kinds + " / " + taken[1].kinds);
        const auto& other = taken[1].messages;
        const bool connected = taken[0].connected;
        check(connected == taken[1].connected, "the sessions disagree on CONNACK");
        if (connected) {
            bound_ += replay_bound();
            for (const auto& [filter, qos] : client_subscriptions_) replayable_.insert(filter);
        }

        messages_ = std::move(taken[0].messages);
        check(messages_.size() == other.size(), "the sessions disagree on the messages");
        for (std::size_t i = 0; i < messages_.size(); ++i) {
            const auto& m = messages_[i];
            check(m.topic == other[i].topic && m.payload == other[i].payload,
                  "the sessions disagree on a message");
            check(!m.topic.empty() && mq::received_topic_problem(m.topic) == nullptr,
                  "a message with a bad topic", m.topic);
            check(2 + m.topic.size() + m.payload.size() <= settings_.max_incoming_bytes,
                  "a message over the incoming limit");
        }
        check(!closed_seen_ || messages_.empty(), "a message after the session closed");

        completions_ = std::move(taken[0].completions);
        const auto& other_completions = taken[1].completions;
        check(completions_.size() == other_completions.size(), "the sessions disagree on the completions");
        for (std::size_t i = 0; i < completions_.size(); ++i) {
            const auto& a = completions_[i];
            const auto& b = other_completions[i];
            check(a.on_done == b.on_done && a.on_failed == b.on_failed && a.token == b.token &&
                      a.code == b.code && a.message == b.message,
                  "the sessions disagree on a completion");
            check(a.token != 0, "a completion without a packet id");
            const bool failed = static_cast<int>(a.code) < 0;
            check(failed ? (a.code == mq::CompletionCode::refused_by_broker ||
                            a.code == mq::CompletionCode::connection_lost) &&
                               a.on_done == nullptr && !a.message.empty()
                         : static_cast<int>(a.code) <= 2 && a.on_failed == nullptr && a.message.empty(),
                  "a completion that is neither a success nor a failure");
        }

        check(taken[0].notices == taken[1].notices, "the sessions disagree on the notices");
        for (const auto& n : taken[0].notices) check(!n.empty(), "an empty notice");
        notices_ = taken[0].notices.size();

        const auto state = whole_.state();
        if (tracing()) {
            std::fprintf(stderr, "  state %d queued %zu messages %zu completions %zu %s\n",
                         static_cast<int>(state), whole_.queued_bytes(), messages_.size(),
                         completions_.size(), close_reason().c_str());
        }
        check(state == split_.state() && refused_[0] == refused_[1] &&
                  whole_.session_present() == split_.session_present() &&
                  whole_.disconnecting() == split_.disconnecting() &&
                  whole_.queued_bytes() == split_.queued_bytes() &&
                  whole_.queued_publishes() == split_.queued_publishes() &&
                  whole_.next_deadline() == split_.next_deadline(),
              "the sessions disagree on their state");
        const bool same_close =
            closed_[0].has_value() == closed_[1].has_value() &&
            (!closed_[0] || (closed_[0]->code == closed_[1]->code && closed_[0]->text == closed_[1]->text));
        check(same_close, "the sessions disagree on the close",
              close_reason() + " / " + (closed_[1] ? closed_[1]->text : std::string()));
        check((state == State::closed) == closed_[0].has_value() || state == State::idle,
              "closed without a Closed event, or the other way round");
        if (state == State::closed) {
            check(!close_reason().empty(), "closed without a reason");
            const auto code = closed_[0]->code;
            check((refused_[0] != 0) == (code == mq::CloseCode::refused),
                  "a refusal code with another close");
            check(code != mq::CloseCode::refused || close_reason().rfind("refused (", 0) == 0,
                  "a refusal without its text");
            check((code == mq::CloseCode::protocol_violation) ==
                      (close_reason().rfind("protocol violation: ", 0) == 0),
                  "a protocol violation with another code, or the other way round");
            closed_seen_ = true;
            in_step_ = false;
        }
        if (state == State::idle || state == State::closed) {
            check(whole_.pending_output().empty() && split_.pending_output().empty(),
                  "output without a connection");
        }
        check(whole_.queued_bytes() <= bound_, "more output queued than the steps account for");
        check(whole_.queued_publishes() <= publishes_, "more publications queued than made");
        if (cooperative_ && state == State::connected && !whole_.disconnecting() &&
            whole_.queued_bytes() == 0) {
            check_broker_subscriptions();
        }
    }

    // Everything written: the broker holds what the calls asked for.
    void check_broker_subscriptions() {
        for (const auto& [filter, qos] : client_subscriptions_) {
            if (unknown_filters_.count(filter)) continue;
            const auto it = broker_subscriptions_.find(filter);
            check(it != broker_subscriptions_.end(), "a subscription the broker does not hold", filter);
            check(it->second == qos, "a subscription the broker holds with another QoS", filter);
        }
        for (const auto& [filter, qos] : broker_subscriptions_) {
            check(client_subscriptions_.count(filter) || unknown_filters_.count(filter),
                  "a subscription the broker holds and the calls ended", filter);
        }
    }

    // What a CONNACK may queue: every filter subscribed again, every
    // unsubscription made again.
    std::size_t replay_bound() const {
        std::size_t n = 0;
        std::size_t longest = 0;
        for (const auto& f : filters()) {
            n += packet_bytes(2 + 2 + f.size() + 1);
            longest = std::max(longest, packet_bytes(2 + 2 + f.size()));
        }
        return n + unsubscribes_ * longest;
    }

    const mq::SessionSettings settings_;
    mq::Session whole_;
    mq::Session split_;
    const bool first_clean_;
    mq::steady_time now_ = mq::steady_time() + 1000h;

    std::string connect_;
    Wire wire_;
    std::vector<Unanswered> unanswered_;
    std::set<std::uint16_t> in_flight_;                                 // ids written and not yet released
    std::map<std::uint16_t, std::string> unacknowledged_unsubscribes_;  // on this connection
    std::map<std::string, int> subscribes_written_;                     // on this connection
    std::set<std::string> replayable_;                                  // subscribed when the CONNACK came
    bool clean_ = true;
    bool disconnected_ = false;
    bool closed_seen_ = false;             // since the last open
    std::optional<mq::Closed> closed_[2];  // of each session, since the last open
    int refused_[2] = {0, 0};              // CONNACK's code when it refused
    // Input of this connection only built here, so the session is at a packet boundary.
    bool in_step_ = false;
    // No raw input yet and an honest broker: its view is known.
    bool cooperative_ = true;

    bool broker_has_session_ = false;
    std::map<std::string, int> broker_subscriptions_;
    std::set<std::uint16_t> broker_unreleased_;  // QoS 2 ids the client has and the broker has not released
    std::map<std::string, int> client_subscriptions_;
    std::set<std::string> unknown_filters_;  // refused by the broker: either may hold it

    std::size_t publishes_ = 0;
    std::size_t publications_written_ = 0;  // one past the number of the last call seen on the wire
    std::size_t unsubscribes_ = 0;
    std::size_t lost_publications_ = 0;
    std::size_t bound_ = 0;                  // queued output the steps so far account for
    std::vector<mq::MqttMessage> messages_;  // of the last step
    std::vector<mq::Completion> completions_;
    std::size_t notices_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Program program(data, size);
    const unsigned setup = program.byte();
    const auto settings = [setup] {
        mq::SessionSettings s;
        s.client_id = client_id();
        if (setup & 0x02) {
            s.user = "u";
            s.password = "p";
            s.has_password = true;
        }
        s.max_incoming_bytes = incoming_limits[(setup >> 2) & 3];
        s.max_offline_publishes = offline_limits[(setup >> 4) & 3].publishes;
        s.max_offline_bytes = offline_limits[(setup >> 4) & 3].bytes;
        s.keep_alive = keep_alives[setup >> 6];
        s.connect_timeout = connect_timeout;
        return s;
    };
    Harness harness(settings, (setup & 0x01) != 0);
    harness.run(program);
    return 0;
}
