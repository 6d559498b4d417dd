#include "mqtt-wrapper/core/session.h"

#include "mqtt-wrapper/core/codec.h"
#include "packet_kit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorvel::mosquitto {

bool operator==(const Closed& a, const Closed& b) {
    return a.code == b.code && a.text == b.text;
}

const char* name_of(CloseCode code) {
    switch (code) {
        case CloseCode::protocol_violation:
            return "protocol_violation";
        case CloseCode::refused:
            return "refused";
        case CloseCode::no_connack:
            return "no_connack";
        case CloseCode::no_ping_answer:
            return "no_ping_answer";
        case CloseCode::output_stalled:
            return "output_stalled";
        case CloseCode::closed_by_peer:
            return "closed_by_peer";
        case CloseCode::io:
            return "io";
        case CloseCode::tls:
            return "tls";
        case CloseCode::unresolved:
            return "unresolved";
        case CloseCode::unreachable:
            return "unreachable";
        case CloseCode::stopped:
            return "stopped";
    }
    return "?";
}

void PrintTo(const Closed& c, std::ostream* os) {
    *os << name_of(c.code) << " \"" << c.text << '"';
}

}  // namespace quorvel::mosquitto

namespace mq = quorvel::mosquitto;
namespace codec = quorvel::mosquitto::codec;
using mq::Qos;
using mq::Session;
using namespace std::chrono_literals;
using packet_kit::ack;
using packet_kit::bytes;
using packet_kit::connack;
using packet_kit::publish;
using packet_kit::suback;
using Type = packet_kit::Type;

namespace {

void on_done(void*, MQTTAsync_successData*) {}
void on_failed(void*, MQTTAsync_failureData*) {}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The text of the MqttError that f throws.
template <class F>
// "[code] text" of the MqttError f throws.
std::string error_of(F f) {
    using Code = mq::MqttError::Code;
    try {
        f();
    } catch (const mq::MqttError& e) {
        const char* code = e.code() == Code::bad_topic     ? "bad_topic"
                           : e.code() == Code::too_large   ? "too_large"
                           : e.code() == Code::buffer_full ? "buffer_full"
                                                           : "other";
        return std::string("[") + code + "] " + e.what();
    }
    return "(no MqttError)";
}

// The client's output as one line: "PUBLISH a, SUBSCRIBE f, PUBACK 7, PINGREQ".
std::string summary(std::string_view out) {
    static const char* const names[] = {
        "?",         "CONNECT", "CONNACK",     "PUBLISH",  "PUBACK",  "PUBREC",   "PUBREL",     "PUBCOMP",
        "SUBSCRIBE", "SUBACK",  "UNSUBSCRIBE", "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "?"};
    std::string text;
    while (!out.empty()) {
        codec::Header h{};
        if (codec::read_header(out, h) != codec::Framing::complete ||
            out.size() < h.header_bytes + h.body_bytes)
            return text + " (torn)";
        const auto body = out.substr(h.header_bytes, h.body_bytes);
        text += std::string(text.empty() ? "" : ", ") + names[h.type];
        if (h.type == codec::publish) text += " " + std::string(body.substr(2, codec::read_u16(body)));
        if (h.type == codec::subscribe || h.type == codec::unsubscribe)
            text += " " + std::string(body.substr(4, codec::read_u16(body.substr(2))));
        if (h.type >= codec::puback && h.type <= codec::pubcomp)
            text += " " + std::to_string(codec::read_u16(body));
        out.remove_prefix(h.header_bytes + h.body_bytes);
    }
    return text;
}

// Packet ids of the SUBSCRIBE, UNSUBSCRIBE and PUBLISH (QoS > 0) packets in out.
std::vector<std::uint16_t> ids_of(std::string_view out) {
    std::vector<std::uint16_t> ids;
    codec::Header h{};
    while (codec::read_header(out, h) == codec::Framing::complete) {
        const auto body = out.substr(h.header_bytes, h.body_bytes);
        if (h.type == codec::subscribe || h.type == codec::unsubscribe) ids.push_back(codec::read_u16(body));
        if (h.type == codec::publish && (h.flags & 0x06) != 0)
            ids.push_back(codec::read_u16(body.substr(2 + codec::read_u16(body))));
        out.remove_prefix(h.header_bytes + h.body_bytes);
    }
    return ids;
}

using Strings = std::vector<std::string>;

// A session driven by hand: the test plays the broker, the socket and the clock.
struct Driver {
    // listening: subscribed to "#" from the start, for tests of received
    // messages (the session drops what no subscription matches).
    explicit Driver(mq::SessionSettings settings = {}, bool listen = false)
        : session(std::move(settings)), listening(listen) {
        if (listening) session.subscribe("#", Qos::AtMostOnce, nullptr, nullptr);
    }

    void open(bool clean = true) {
        session.open(clean, now);
        write_all();
    }
    void connect(bool clean = true) {
        open(clean);
        feed(connack());
        if (listening) write_all();  // the subscription
    }
    void feed(std::string_view in) { session.receive(in, now); }
    void advance(std::chrono::milliseconds by) {
        now += by;
        session.tick(now);
    }
    // Takes everything pending and reports it written; unsent: of all the
    // bytes written, those the socket still holds.
    std::string write_all(std::size_t unsent = 0) {
        std::string out(session.pending_output());
        session.output_written(out.size(), now, unsent);
        return out;
    }
    void publish(const std::string& topic, Qos qos = Qos::AtMostOnce) {
        session.publish(topic, reinterpret_cast<const unsigned char*>("p"), 1, qos, false, now);
    }
    void subscribe(const std::string& filter) {
        session.subscribe(filter, Qos::AtLeastOnce, on_done, on_failed);
    }
    bool closed() const { return session.state() == Session::State::closed; }
    long long ms_to_deadline() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(session.next_deadline() - now).count();
    }
    // The session's events, sorted by kind, each kind in its order.
    void take() {
        std::vector<mq::Event> events;
        session.take_events(events);
        for (auto& e : events) {
            if (auto* m = std::get_if<mq::MqttMessage>(&e)) {
                messages.push_back(m->topic + ":" + std::string(m->payload.begin(), m->payload.end()));
            } else if (auto* c = std::get_if<mq::Completion>(&e)) {
                completed.push_back(*c);
            } else if (auto* n = std::get_if<mq::Notice>(&e)) {
                told.push_back(n->text);
            } else if (std::holds_alternative<mq::Connected>(e)) {
                ++connections;
            } else if (auto* r = std::get_if<mq::Refused>(&e)) {
                refused_code = r->code;
            } else {
                ended.push_back(std::get<mq::Closed>(e));
            }
        }
    }
    // "topic:payload" of each message taken.
    Strings received() {
        take();
        return std::exchange(messages, {});
    }
    std::vector<mq::Completion> completions() {
        take();
        return std::exchange(completed, {});
    }
    Strings notices() {
        take();
        return std::exchange(told, {});
    }
    // CONNACK accepted since the last call.
    bool connected() {
        take();
        return std::exchange(connections, 0) > 0;
    }
    // The last Closed event, or none.
    std::optional<mq::Closed> closed_with() {
        take();
        if (ended.empty()) return std::nullopt;
        return ended.back();
    }

    mq::steady_time now{1h};
    Session session;
    bool listening;
    Strings messages;
    std::vector<mq::Completion> completed;
    Strings told;
    int connections = 0;
    int refused_code = 0;
    std::vector<mq::Closed> ended;
};

}  // namespace

TEST(SessionViolation, ClosesAndDeliversNothingOfThePacket) {
    struct Case {
        const char* what;
        std::string packet;
        const char* reason;
    } cases[] = {
        {"PUBACK flags 1111", bytes({0x4F, 2, 0, 1}),
         "protocol violation: PUBACK (reserved flag bits set, first byte 0x4F, remaining length 2)"},
        {"PUBREC flags 0010", bytes({0x52, 2, 0, 1}),
         "protocol violation: PUBREC (reserved flag bits set, first byte 0x52, remaining length 2)"},
        {"PUBREL flags 0000", bytes({0x60, 2, 0, 1}),
         "protocol violation: PUBREL (reserved flag bits set, first byte 0x60, remaining length 2)"},
        {"PUBREL flags 0011", bytes({0x63, 2, 0, 1}),
         "protocol violation: PUBREL (reserved flag bits set, first byte 0x63, remaining length 2)"},
        {"PUBCOMP flags 1000", bytes({0x78, 2, 0, 1}),
         "protocol violation: PUBCOMP (reserved flag bits set, first byte 0x78, remaining length 2)"},
        {"SUBACK flags 1111", bytes({0x9F, 3, 0, 1, 0}),
         "protocol violation: SUBACK (reserved flag bits set, first byte 0x9F, remaining length 3)"},
        {"UNSUBACK flags 0001", bytes({0xB1, 2, 0, 1}),
         "protocol violation: UNSUBACK (reserved flag bits set, first byte 0xB1, remaining length 2)"},
        {"PINGRESP flags 1111", bytes({0xDF, 0}),
         "protocol violation: PINGRESP (reserved flag bits set, first byte 0xDF, remaining length 0)"},
        {"CONNACK flags 0001", bytes({0x21, 2, 0, 0}),
         "protocol violation: CONNACK (reserved flag bits set, first byte 0x21, remaining length 2)"},
        {"PUBACK of 3 bytes", bytes({0x40, 3, 0, 1, 0}),
         "protocol violation: PUBACK (wrong remaining length, first byte 0x40, remaining length 3)"},
        {"PUBREC of 1 byte", bytes({0x50, 1, 0}),
         "protocol violation: PUBREC (wrong remaining length, first byte 0x50, remaining length 1)"},
        {"PUBREL of 0 bytes", bytes({0x62, 0}),
         "protocol violation: PUBREL (wrong remaining length, first byte 0x62, remaining length 0)"},
        {"PUBCOMP of 4 bytes", bytes({0x70, 4, 0, 1, 0, 0}),
         "protocol violation: PUBCOMP (wrong remaining length, first byte 0x70, remaining length 4)"},
        {"SUBACK with two codes", bytes({0x90, 4, 0, 1, 0, 0}),
         "protocol violation: SUBACK (wrong remaining length, first byte 0x90, remaining length 4)"},
        {"SUBACK without a code", bytes({0x90, 2, 0, 1}),
         "protocol violation: SUBACK (wrong remaining length, first byte 0x90, remaining length 2)"},
        {"UNSUBACK of 3 bytes", bytes({0xB0, 3, 0, 1, 0}),
         "protocol violation: UNSUBACK (wrong remaining length, first byte 0xB0, remaining length 3)"},
        {"PINGRESP of 1 byte", bytes({0xD0, 1, 0}),
         "protocol violation: PINGRESP (wrong remaining length, first byte 0xD0, remaining length 1)"},
        {"CONNACK of 3 bytes", bytes({0x20, 3, 0, 0, 0}),
         "protocol violation: CONNACK (wrong remaining length, first byte 0x20, remaining length 3)"},
        {"second CONNACK", connack(), "protocol violation: a second CONNACK"},
        {"PUBLISH QoS 1 id 0", publish("t", "p", 1, 0), "protocol violation: PUBLISH with packet id 0"},
        {"PUBLISH QoS 2 id 0", publish("t", "p", 2, 0), "protocol violation: PUBLISH with packet id 0"},
        {"PUBACK id 0", ack(Type::puback, 0), "protocol violation: PUBACK with packet id 0"},
        {"PUBREC id 0", ack(Type::pubrec, 0), "protocol violation: PUBREC with packet id 0"},
        {"PUBREL id 0", ack(Type::pubrel, 0), "protocol violation: PUBREL with packet id 0"},
        {"PUBCOMP id 0", ack(Type::pubcomp, 0), "protocol violation: PUBCOMP with packet id 0"},
        {"UNSUBACK id 0", ack(Type::unsuback, 0), "protocol violation: UNSUBACK with packet id 0"},
        {"SUBACK id 0", suback(0, 0), "protocol violation: SUBACK with packet id 0"},
        {"PUBLISH QoS 3", bytes({0x36, 5, 0, 1, 't', 0, 1}),
         "protocol violation: PUBLISH (PUBLISH with QoS 3, first byte 0x36, remaining length 5)"},
        {"DUP on QoS 0", publish("t", "p", 0, 0, true),
         "protocol violation: PUBLISH (PUBLISH with DUP set on QoS 0, first byte 0x38, remaining length 4)"},
        {"PUBLISH shorter than its topic", bytes({0x30, 3, 0, 5, 't'}),
         "protocol violation: PUBLISH too short"},
        {"five length bytes", bytes({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
         "protocol violation: remaining length over four bytes"},
        {"CONNECT", bytes({0x10, 0}),
         "protocol violation: CONNECT (a packet type that only clients send, first byte 0x10, remaining "
         "length 0)"},
        {"SUBSCRIBE", bytes({0x82, 0}),
         "protocol violation: SUBSCRIBE (a packet type that only clients send, first byte 0x82, remaining "
         "length 0)"},
        {"UNSUBSCRIBE", bytes({0xA2, 0}),
         "protocol violation: UNSUBSCRIBE (a packet type that only clients send, first byte 0xA2, remaining "
         "length 0)"},
        {"PINGREQ", bytes({0xC0, 0}),
         "protocol violation: PINGREQ (a packet type that only clients send, first byte 0xC0, remaining "
         "length 0)"},
        {"DISCONNECT", bytes({0xE0, 0}),
         "protocol violation: DISCONNECT (a packet type that only clients send, first byte 0xE0, remaining "
         "length 0)"},
        {"type 0", bytes({0x00, 0}), "protocol violation: a reserved packet type"},
        {"type 15", bytes({0xF0, 0}), "protocol violation: a reserved packet type"},
        {"SUBACK code 3", suback(1, 0x03), "protocol violation: SUBACK with return code 0x03"},
        {"SUBACK code 0x7F", suback(1, 0x7F), "protocol violation: SUBACK with return code 0x7F"},
        {"SUBACK code 0x81", suback(1, 0x81), "protocol violation: SUBACK with return code 0x81"},
    };
    for (const auto& c : cases) {
        for (const bool bytewise : {false, true}) {
            Driver d;
            d.connect();
            const auto in = c.packet + publish("after");
            if (bytewise) {
                for (const char b : in) d.feed(std::string(1, b));
            } else {
                d.feed(in);
            }
            EXPECT_TRUE(d.closed()) << c.what;
            EXPECT_EQ(d.closed_with(), (mq::Closed{mq::CloseCode::protocol_violation, c.reason}))
                << c.what << (bytewise ? " bytewise" : "");
            EXPECT_EQ(d.ended.size(), 1u) << c.what;
            EXPECT_EQ(d.received(), Strings{}) << c.what;
            EXPECT_EQ(d.session.queued_bytes(), 0u) << c.what;  // no acknowledgement either
        }
    }
}

// One feed that connects, delivers, completes, skips and breaks a rule: the
// events in that order, so that no owner handles a connection's first
// message before it has told the connection.
TEST(SessionEvents, ComeInTheOrderTheyHappened) {
    mq::SessionSettings settings;
    settings.max_incoming_bytes = 16;
    Driver d(std::move(settings));
    d.subscribe("#");
    d.open();
    d.feed(connack() + publish("a", "1") + suback(1, 1) + publish("big", std::string(20, 'x')) +
           publish("b", "2") + bytes({0x4F, 2, 0, 1}) + publish("c", "3"));
    std::vector<mq::Event> events;
    d.session.take_events(events);
    std::string order;
    for (const auto& e : events) order += "CRMAN!"[e.index()];
    EXPECT_EQ(order, "CMANM!");
    ASSERT_EQ(events.size(), 6u);
    EXPECT_FALSE(std::get<mq::Connected>(events[0]).session_present);
    EXPECT_EQ(std::get<mq::MqttMessage>(events[1]).topic, "a");
    EXPECT_EQ(std::get<mq::Completion>(events[2]).code, mq::CompletionCode::granted_qos1);
    EXPECT_EQ(std::get<mq::Notice>(events[3]).text,
              "Skipped a message of 25 bytes on 'big': the limit is 16");
    EXPECT_EQ(std::get<mq::MqttMessage>(events[4]).topic, "b");
    EXPECT_EQ(
        std::get<mq::Closed>(events[5]),
        (mq::Closed{
            mq::CloseCode::protocol_violation,
            "protocol violation: PUBACK (reserved flag bits set, first byte 0x4F, remaining length 2)"}));
    events.clear();
    d.session.take_events(events);
    EXPECT_TRUE(events.empty());
}

TEST(SessionViolation, AnAckOfTheWrongKindCloses) {
    for (const bool answer_subscribe : {true, false}) {
        Driver d;
        d.connect();
        d.subscribe("s");
        d.session.unsubscribe("u");
        const auto ids = ids_of(d.write_all());
        ASSERT_EQ(ids.size(), 2u);
        d.feed(answer_subscribe ? ack(Type::unsuback, ids[0]) : suback(ids[1], 1));
        EXPECT_TRUE(d.closed());
        EXPECT_EQ(d.closed_with(),
                  (mq::Closed{mq::CloseCode::protocol_violation,
                              answer_subscribe
                                  ? "protocol violation: UNSUBACK for packet id " + std::to_string(ids[0])
                                  : "protocol violation: SUBACK for packet id " + std::to_string(ids[1])}));
        EXPECT_TRUE(d.completions().empty());
    }
}

TEST(SessionConnect, OnlyConnectLeavesBeforeConnack) {
    mq::SessionSettings settings;
    settings.client_id = "dev";
    settings.user = "u";
    settings.password = "pw";
    settings.has_password = true;
    settings.keep_alive = 45s;
    Driver d(std::move(settings));
    d.subscribe("s");
    d.publish("a");
    d.session.open(true, d.now);
    EXPECT_EQ(d.write_all(), packet_kit::connect("dev", true, 45, "u", "pw", true));
    d.publish("b");
    d.subscribe("s2");
    d.session.unsubscribe("x");
    EXPECT_EQ(d.write_all(), "");
    EXPECT_FALSE(d.connected());

    d.feed(connack());
    EXPECT_TRUE(d.connected());
    EXPECT_EQ(summary(d.write_all()), "SUBSCRIBE s, SUBSCRIBE s2, PUBLISH a, PUBLISH b");
}

// The CONNECT holds the password: its bytes are zeroed where they were
// written from once the socket has taken the last of them, not before.
TEST(SessionConnect, TheConnectIsWipedOnceWritten) {
    mq::SessionSettings settings;
    settings.client_id = "dev";
    settings.user = "u";
    settings.password = "Secret-Pw7";
    settings.has_password = true;
    Driver d(std::move(settings));
    d.session.open(true, d.now);
    const auto out = d.session.pending_output();
    std::string connect;
    codec::put_connect(connect, "dev", true, 40, {"u", "Secret-Pw7", true});
    ASSERT_EQ(out, connect);
    d.session.output_written(10, d.now);
    EXPECT_EQ(std::string(out.data(), out.size()), connect);
    d.session.output_written(out.size() - 10, d.now);
    EXPECT_EQ(std::string(out.data(), out.size()), std::string(connect.size(), '\0'));
    d.feed(connack());
    EXPECT_TRUE(d.connected());
}

TEST(SessionConnect, BadBytesBeforeConnackCloseAsSoonAsTheyCan) {
    struct Case {
        const char* what;
        std::string in;
        std::size_t closed_after;
    } cases[] = {
        {"an HTTP answer", "HTTP/1.1 400 Bad Request\r\n", 1},
        {"a TLS alert", bytes({0x15, 0x03, 0x01}), 1},
        {"type 0", bytes({0x00, 0x00}), 1},
        {"CONNACK flags 0001", bytes({0x21, 0x02, 0, 0}), 2},
        {"CONNACK of 3 bytes", bytes({0x20, 0x03, 0, 0, 0}), 2},
        {"CONNACK length never ends", bytes({0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 5},
    };
    for (const auto& c : cases) {
        Driver d;
        d.open();
        std::size_t fed = 0;
        while (!d.closed() && fed < c.in.size()) d.feed(c.in.substr(fed++, 1));
        EXPECT_TRUE(d.closed()) << c.what;
        EXPECT_EQ(fed, c.closed_after) << c.what << ": " << testing::PrintToString(d.closed_with());
    }
    // Every first byte but CONNACK's is refused by itself.
    for (int first = 0; first < 256; ++first) {
        if ((first >> 4) == codec::connack) continue;
        Driver d;
        d.open();
        d.feed(bytes({first}));
        EXPECT_TRUE(d.closed()) << first;
    }
}

TEST(SessionConnect, AMebibyteOfHttpIsRefusedAndDropped) {
    std::string page = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n";
    page.resize(1 << 20, 'x');
    Driver d;
    d.open();
    d.publish("kept");
    const auto queued = d.session.queued_bytes();
    for (std::size_t at = 0; at < page.size(); at += 4096) d.feed(std::string_view(page).substr(at, 4096));
    EXPECT_TRUE(d.closed());
    EXPECT_EQ(d.closed_with(),
              (mq::Closed{mq::CloseCode::protocol_violation, "protocol violation: PUBACK before CONNACK"}));
    EXPECT_EQ(d.session.queued_bytes(), queued);
    EXPECT_EQ(d.write_all(), "");
    EXPECT_EQ(d.received(), Strings{});
    EXPECT_TRUE(d.notices().empty());
}

TEST(SessionConnect, ConnackProblemsClose) {
    struct Case {
        std::string connack;
        int refused_code;
        const char* reason;
    } cases[] = {
        {connack(0, 1), 1, "refused (unacceptable protocol version)"},
        {connack(0, 2), 2, "refused (client identifier rejected)"},
        {connack(0, 3), 3, "refused (server unavailable)"},
        {connack(0, 4), 4, "refused (bad user name or password)"},
        {connack(0, 5), 5, "refused (not authorised)"},
        {connack(0, 6), 0, "protocol violation: CONNACK with return code 6"},
        {connack(0, 0xFF), 0, "protocol violation: CONNACK with return code 255"},
        {connack(0x02, 0), 0, "protocol violation: CONNACK with reserved flag bits set"},
        {connack(0x80, 0), 0, "protocol violation: CONNACK with reserved flag bits set"},
        // A clean session cannot be present: believing it would skip the replay.
        {connack(0x01, 0), 0, "protocol violation: CONNACK with session present on a clean session"},
    };
    for (const auto& c : cases) {
        Driver d;
        d.subscribe("s");
        d.open(true);
        d.feed(c.connack);
        EXPECT_TRUE(d.closed()) << c.reason;
        const auto code = c.refused_code != 0 ? mq::CloseCode::refused : mq::CloseCode::protocol_violation;
        EXPECT_EQ(d.closed_with(), (mq::Closed{code, c.reason}));
        EXPECT_EQ(d.refused_code, c.refused_code) << c.reason;
        EXPECT_FALSE(d.connected()) << c.reason;
    }
}

TEST(SessionConnect, MissingConnackClosesAtTheConnectTimeout) {
    mq::SessionSettings settings;
    settings.connect_timeout = 2500ms;
    Driver d(std::move(settings));
    d.open();
    EXPECT_EQ(d.ms_to_deadline(), 2500);
    d.advance(2499ms);
    EXPECT_EQ(d.session.state(), Session::State::connecting);
    d.advance(1ms);
    EXPECT_TRUE(d.closed());
    EXPECT_EQ(d.closed_with(), (mq::Closed{mq::CloseCode::no_connack, "no answer to CONNECT"}));
}

TEST(SessionInput, EverySplitGivesTheSameResult) {
    const std::string stream = connack() + publish("a", "one") + publish("b/c", std::string(300, 'x'), 1, 5) +
                               bytes({0xD0, 0}) + publish("d", "", 2, 9) + ack(Type::pubrel, 9) +
                               publish("e", "last");
    Driver whole({}, true);
    whole.open();
    whole.feed(stream);
    const auto expected = whole.received();
    const auto expected_out = whole.write_all();
    ASSERT_EQ(expected, (Strings{"a:one", "b/c:" + std::string(300, 'x'), "d:", "e:last"}));
    ASSERT_EQ(summary(expected_out), "PUBACK 5, PUBREC 9, PUBCOMP 9, SUBSCRIBE #");
    for (std::size_t at = 0; at <= stream.size(); ++at) {
        Driver d({}, true);
        d.open();
        d.feed(std::string_view(stream).substr(0, at));
        d.feed(std::string_view(stream).substr(at));
        EXPECT_EQ(d.received(), expected) << at;
        EXPECT_EQ(d.write_all(), expected_out) << at;
    }
    Driver bytewise({}, true);
    bytewise.open();
    for (const char b : stream) bytewise.feed(std::string(1, b));
    EXPECT_EQ(bytewise.received(), expected);
    EXPECT_EQ(bytewise.session.state(), Session::State::connected);
    // Decoded as a hold queue with room for one message takes them: what
    // follows a message waits for it, acknowledgements included.
    Driver one({}, true);
    one.open();
    one.session.set_room({1, SIZE_MAX, false});
    one.feed(stream);
    Strings got;
    for (auto taken = one.received(); !taken.empty(); taken = one.received()) {
        got.insert(got.end(), taken.begin(), taken.end());
        one.session.decode(one.now);
    }
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(one.session.waiting_for_room());
    EXPECT_EQ(one.write_all(), expected_out);
    // Bytes: a message beyond the room waits while the owner holds any.
    Driver bytes_room({}, true);
    bytes_room.connect();
    bytes_room.session.set_room({10, 5, true});
    bytes_room.feed(publish("a", "xy") + publish("b", "xyz"));
    EXPECT_EQ(bytes_room.received(), Strings{"a:xy"});
    EXPECT_TRUE(bytes_room.session.waiting_for_room());
    EXPECT_FALSE(bytes_room.session.fits({10, 5, true}));
    EXPECT_TRUE(bytes_room.session.fits({10, 5, false}));
}

TEST(SessionInput, OversizedPublishIsSkippedWithOneNoticeAndStillAcknowledged) {
    const auto settings = [] {  // settings are not copied: they hold a password
        mq::SessionSettings s;
        s.max_incoming_bytes = 64;
        s.larger_limits = {{"conf/#", 100}};
        return s;
    };
    const auto fits = publish("fit", std::string(59, 'f'));  // a body of exactly 64 bytes
    const auto stream = publish("big", std::string(58, 'x'), 1, 3) + publish("next", "ok") + fits +
                        publish("conf/a", std::string(92, 'c')) + publish("conf/b", std::string(93, 'c'));
    for (std::size_t at = 0; at <= stream.size(); ++at) {
        Driver d(settings(), true);
        d.connect();
        d.feed(std::string_view(stream).substr(0, at));
        d.feed(std::string_view(stream).substr(at));
        EXPECT_EQ(d.received(),
                  (Strings{"next:ok", "fit:" + std::string(59, 'f'), "conf/a:" + std::string(92, 'c')}))
            << at;
        const auto notices = d.notices();
        ASSERT_EQ(notices.size(), 2u) << at;
        EXPECT_TRUE(contains(notices[0], "Skipped a message of 65 bytes on 'big': the limit is 64"))
            << notices[0];
        EXPECT_TRUE(contains(notices[1], "Skipped a message of 101 bytes on 'conf/b': the limit is 100"))
            << notices[1];
        EXPECT_EQ(summary(d.write_all()), "PUBACK 3") << at;  // or the broker's window fills
        EXPECT_EQ(d.session.state(), Session::State::connected) << at;
    }
}

TEST(SessionQos, IncomingPublishIsAcknowledgedWithItsId) {
    struct Case {
        int qos;
        std::uint16_t id;
        const char* output;
    } cases[] = {{0, 0, ""}, {1, 1, "PUBACK 1"}, {1, 65535, "PUBACK 65535"}, {2, 300, "PUBREC 300"}};
    for (const auto& c : cases) {
        Driver d({}, true);
        d.connect();
        d.feed(publish("t", "p", c.qos, c.id));
        EXPECT_EQ(d.received(), Strings{"t:p"}) << c.qos;
        EXPECT_EQ(summary(d.write_all()), c.output);
    }
}

TEST(SessionQos, ExactlyOnceDeliversARepeatBeforePubrelOnce) {
    Driver d({}, true);
    d.connect();
    d.feed(publish("t", "1", 2, 7));
    d.feed(publish("t", "1", 2, 7, true));
    d.feed(publish("t", "other id", 2, 8));
    EXPECT_EQ(d.received(), (Strings{"t:1", "t:other id"}));
    EXPECT_EQ(summary(d.write_all()), "PUBREC 7, PUBREC 7, PUBREC 8");
    d.feed(ack(Type::pubrel, 7));
    EXPECT_EQ(summary(d.write_all()), "PUBCOMP 7");
    d.feed(publish("t", "2", 2, 7));
    d.feed(publish("t", "2", 2, 8, true));
    EXPECT_EQ(d.received(), Strings{"t:2"});
}

TEST(SessionQos, ExactlyOnceSurvivesAReconnectOnlyWithAKeptSession) {
    for (const bool clean : {true, false}) {
        Driver d({}, true);
        d.connect(clean);
        d.feed(publish("t", "1", 2, 7));
        d.session.lost();
        d.open(clean);
        d.feed(connack(clean ? 0 : 1));
        d.feed(publish("t", "1", 2, 7, true));  // the broker did not see the PUBREC
        EXPECT_EQ(d.received().size(), clean ? 2u : 1u) << clean;
        EXPECT_EQ(summary(d.write_all()), "PUBREC 7, SUBSCRIBE #");  // never confirmed: replayed
    }
}

TEST(SessionQos, OutgoingPublicationIsDoneOnlyWhenFullyAcknowledged) {
    struct Case {
        Qos qos;
        std::vector<Type> replies;
        const char* output;
        std::size_t lost;
    } cases[] = {
        {Qos::AtMostOnce, {}, "", 0},
        {Qos::AtLeastOnce, {}, "", 1},
        {Qos::AtLeastOnce, {Type::puback}, "", 0},
        {Qos::ExactlyOnce, {}, "", 1},
        {Qos::ExactlyOnce, {Type::pubrec}, "PUBREL", 1},
        {Qos::ExactlyOnce, {Type::pubrec, Type::pubcomp}, "PUBREL", 0},
    };
    for (const auto& c : cases) {
        Driver d;
        d.connect();
        d.publish("t", c.qos);
        const auto ids = ids_of(d.write_all());
        for (const auto type : c.replies) d.feed(ack(type, ids.at(0)));
        const auto out = summary(d.write_all());
        EXPECT_EQ(out.substr(0, out.find(' ')), c.output);
        EXPECT_EQ(d.session.state(), Session::State::connected);
        EXPECT_EQ(d.session.lost(), c.lost) << c.replies.size();
    }
}

TEST(SessionOutbound, CallsLeaveInCallOrderInOneBatch) {
    Driver d;
    d.connect();
    d.publish("A");
    d.subscribe("S");
    d.publish("B");
    d.session.unsubscribe("U");
    d.publish("C");
    d.session.disconnect();
    const std::string batch(d.session.pending_output());
    EXPECT_EQ(summary(batch), "PUBLISH A, SUBSCRIBE S, PUBLISH B, UNSUBSCRIBE U, PUBLISH C, DISCONNECT");
    EXPECT_EQ(d.session.pending_output(), batch);  // taken again until written
    d.session.output_written(batch.size(), d.now);
    EXPECT_EQ(d.session.pending_output(), "");
}

TEST(SessionOutbound, AcknowledgementsAndPingGoAheadOfQueuedPackets) {
    Driver d;
    d.connect();
    d.publish("A");
    d.feed(publish("in", "p", 1, 4));
    d.advance(30s);
    d.publish("B");
    EXPECT_EQ(summary(d.write_all()), "PUBACK 4, PINGREQ, PUBLISH A, PUBLISH B");
}

TEST(SessionOutbound, AWriteInProgressFinishesBeforeAnythingElse) {
    Driver d;
    d.connect();
    d.publish("A");
    d.publish("B");
    const std::string batch(d.session.pending_output());
    d.session.output_written(3, d.now);
    d.feed(publish("in", "p", 1, 4));
    EXPECT_EQ(d.write_all(), batch.substr(3));
    EXPECT_EQ(summary(d.write_all()), "PUBACK 4");
}

TEST(SessionOutbound, ResubscribeWaitsForTheUnsuback) {
    for (const bool unsubscribe_written_first : {true, false}) {
        Driver d;
        d.connect();
        d.subscribe("F");
        d.feed(suback(ids_of(d.write_all()).at(0), 1));
        d.session.unsubscribe("F");
        d.session.unsubscribe("G");
        auto out = unsubscribe_written_first ? d.write_all() : std::string();
        d.subscribe("F");
        d.publish("P");
        d.subscribe("G");
        d.publish("Q");
        out += d.write_all();
        EXPECT_EQ(summary(out), "UNSUBSCRIBE F, UNSUBSCRIBE G");
        const auto ids = ids_of(out);
        d.session.unsubscribe("H");
        d.feed(ack(Type::unsuback, ids.at(1)));  // G's first: F's SUBSCRIBE still holds the stream
        d.feed(publish("in", "p", 1, 4));
        EXPECT_EQ(summary(d.write_all()), "PUBACK 4");
        d.feed(ack(Type::unsuback, ids.at(0)));
        out = d.write_all();
        EXPECT_EQ(summary(out), "SUBSCRIBE F, PUBLISH P, SUBSCRIBE G, PUBLISH Q, UNSUBSCRIBE H");
        d.completions();
        d.feed(suback(ids_of(out).at(0), 0));
        const auto done = d.completions();
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].on_done, &on_done);
    }
}

TEST(SessionOutbound, SubackOutcomeReachesTheRightCallback) {
    struct Case {
        int code;
        bool done;
        mq::CompletionCode completion_code;
    } cases[] = {{0, true, mq::CompletionCode::granted_qos0},
                 {1, true, mq::CompletionCode::granted_qos1},
                 {2, true, mq::CompletionCode::granted_qos2},
                 {0x80, false, mq::CompletionCode::refused_by_broker}};
    for (const auto& c : cases) {
        Driver d;
        d.connect();
        d.subscribe("F");
        const auto id = ids_of(d.write_all()).at(0);
        d.feed(suback(static_cast<std::uint16_t>(id + 1), c.code));  // nobody's: ignored
        d.feed(suback(id, c.code));
        const auto got = d.completions();
        ASSERT_EQ(got.size(), 1u) << c.code;
        EXPECT_EQ(got[0].on_done, c.done ? &on_done : nullptr);
        EXPECT_EQ(got[0].on_failed, c.done ? nullptr : &on_failed);
        EXPECT_EQ(got[0].code, c.completion_code);
        EXPECT_EQ(d.session.state(), Session::State::connected);
    }
}

TEST(SessionReplay, SubscriptionsGoAheadOfKeptPublications) {
    Driver d;
    d.connect();
    d.subscribe("S1");
    d.subscribe("S2");
    for (const auto id : ids_of(d.write_all())) d.feed(suback(id, 1));
    d.publish("A");
    d.publish("B");
    d.publish("C");
    const std::string batch(d.session.pending_output());
    codec::Header first{};
    ASSERT_EQ(codec::read_header(batch, first), codec::Framing::complete);
    d.session.output_written(first.header_bytes + first.body_bytes + 2, d.now);  // B cut in the middle
    d.publish("D");
    EXPECT_EQ(d.session.lost(), 1u);
    d.publish("E");
    d.subscribe("S3");
    d.subscribe("S3");
    d.open();
    EXPECT_EQ(d.write_all(), "");
    d.feed(connack());
    EXPECT_EQ(summary(d.write_all()),
              "SUBSCRIBE S1, SUBSCRIBE S2, SUBSCRIBE S3, PUBLISH C, PUBLISH D, PUBLISH E");
    d.session.lost();
    d.connect();
    EXPECT_EQ(summary(d.write_all()), "SUBSCRIBE S1, SUBSCRIBE S2, SUBSCRIBE S3");
}

TEST(SessionReplay, PendingSubscriptionsFailOncePerCallbackWhenTheConnectionIsLost) {
    for (const int pending : {1, 51}) {
        Driver d;
        d.connect();
        for (int i = 0; i < pending; ++i) d.subscribe("F" + std::to_string(i));
        d.session.subscribe("own", Qos::AtMostOnce, nullptr, nullptr);  // no callback, nothing told
        d.write_all();
        d.session.lost();
        const auto failed = d.completions();
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].on_failed, &on_failed);
        EXPECT_EQ(failed[0].on_done, nullptr);
        EXPECT_EQ(failed[0].code, mq::CompletionCode::connection_lost);
        EXPECT_EQ(failed[0].message,
                  pending == 1 ? "connection lost" : "connection lost with 51 requests pending");
        // Replayed and lost again before their SUBACKs: told already.
        d.connect();
        EXPECT_EQ(ids_of(d.write_all()).size(), static_cast<std::size_t>(pending) + 1);
        d.session.lost();
        EXPECT_TRUE(d.completions().empty());
    }
}

TEST(SessionReplay, KeptPublicationKeepsItsIdAndTornOneCountsOnce) {
    Driver d;
    d.connect();
    d.publish("torn", Qos::AtLeastOnce);
    d.publish("kept", Qos::AtLeastOnce);
    const std::string batch(d.session.pending_output());
    d.session.output_written(3, d.now);
    EXPECT_EQ(d.session.lost(), 1u);
    d.connect();
    const auto out = d.write_all();
    EXPECT_EQ(summary(out), "PUBLISH kept");
    EXPECT_EQ(ids_of(out), std::vector<std::uint16_t>{ids_of(batch).at(1)});
    d.feed(ack(Type::puback, ids_of(out).at(0)));
    EXPECT_EQ(d.session.lost(), 0u);
}

TEST(SessionReplay, AnAcknowledgementBeforeThePublicationLeftLosesNothing) {
    Driver d;
    d.connect();
    d.publish("early", Qos::AtLeastOnce);
    d.feed(ack(Type::puback, ids_of(std::string(d.session.pending_output())).at(0)));
    d.publish("late", Qos::AtLeastOnce);
    EXPECT_EQ(d.session.lost(), 0u);
    d.connect();
    const auto out = d.write_all();
    EXPECT_EQ(summary(out), "PUBLISH early, PUBLISH late");
    for (const auto id : ids_of(out)) d.feed(ack(Type::puback, id));
    EXPECT_EQ(d.session.lost(), 0u);
}

TEST(SessionReplay, PresentSessionSkipsOnlyWhatTheBrokerHas) {
    struct Case {
        bool clean;
        int session_present;
        bool resubscribe_old;  // unsubscribe and subscribe it again while disconnected
        const char* replay;
    } cases[] = {
        {true, 0, false, "SUBSCRIBE old, SUBSCRIBE new"},
        {false, 0, false, "SUBSCRIBE old, SUBSCRIBE new"},
        {false, 1, false, "SUBSCRIBE new"},
        {false, 1, true, "SUBSCRIBE new, SUBSCRIBE old"},
    };
    for (const auto& c : cases) {
        Driver d;
        d.connect(c.clean);
        d.subscribe("old");
        d.feed(suback(ids_of(d.write_all()).at(0), 1));
        d.session.lost();
        d.subscribe("new");
        if (c.resubscribe_old) {
            d.session.unsubscribe("old");
            d.subscribe("old");
        }
        d.open(c.clean);
        d.feed(connack(c.session_present));
        EXPECT_EQ(d.session.session_present(), c.session_present == 1);
        const auto out = summary(d.write_all());
        EXPECT_EQ(out, c.replay) << c.clean << c.session_present << c.resubscribe_old;
    }
}

TEST(SessionKeepAlive, PingAfterThreeQuartersOfTheKeepAliveWithoutOutput) {
    for (const auto keep_alive : {30s, 4s, 1s}) {
        mq::SessionSettings settings;
        settings.keep_alive = keep_alive;
        Driver d(std::move(settings));
        d.connect();
        const auto due = std::chrono::milliseconds(keep_alive) * 3 / 4;
        EXPECT_EQ(d.ms_to_deadline(), due.count()) << keep_alive.count();
        d.advance(due - 1ms);
        EXPECT_EQ(d.write_all(), "") << keep_alive.count();
        d.advance(1ms);
        EXPECT_EQ(summary(d.write_all()), "PINGREQ") << keep_alive.count();
    }
}

TEST(SessionKeepAlive, OutputPostponesThePing) {
    Driver d;
    d.connect();
    d.advance(20s);
    d.publish("a");
    d.write_all();
    d.advance(29999ms);
    EXPECT_EQ(d.write_all(), "");
    d.advance(1ms);
    EXPECT_EQ(summary(d.write_all()), "PINGREQ");
}

TEST(SessionKeepAlive, UnansweredPingClosesAndPingrespClearsIt) {
    // A broker that reads nothing never answers, whatever else it sends.
    const std::pair<const char*, std::optional<mq::Closed>> cases[] = {
        {"", mq::Closed{mq::CloseCode::no_ping_answer, "no answer to a ping"}},
        {"PINGRESP", std::nullopt},
        {"reads nothing", mq::Closed{mq::CloseCode::output_stalled, "the broker has read nothing for 60 s"}},
    };
    for (const auto& [answer, closed] : cases) {
        Driver d({}, true);  // keep-alive 40 s: ping after 30 s, answered within 30 s
        d.connect();
        const bool stuck = std::string(answer) == "reads nothing";
        if (stuck) {
            d.publish("a");
            d.session.pending_output();
            d.session.output_written(0, d.now);  // the socket takes nothing
        }
        d.advance(30s);
        ASSERT_EQ(summary(stuck ? "" : d.write_all()), stuck ? "" : "PINGREQ");
        d.advance(29999ms);
        EXPECT_EQ(d.session.state(), Session::State::connected);
        if (std::string(answer) == "PINGRESP") d.feed(bytes({0xD0, 0}));
        if (stuck) d.feed(publish("flood"));
        d.advance(1ms);
        EXPECT_EQ(d.closed(), closed.has_value()) << answer;
        EXPECT_EQ(d.closed_with(), closed) << answer;
    }
}

TEST(SessionKeepAlive, APingCountsFromWhenItLeftAndItsAnswerMayWaitBehindInput) {
    // The PINGREQ is written at 30 s behind 1000 bytes that the socket has
    // held since 0 s; each second the socket's queue is looked at again.
    struct Row {
        const char* what;
        std::vector<std::pair<int, std::size_t>> unsent;  // from this second on
        std::vector<int> input_at, answer_at;
        int closed_at;  // 0: still connected at 110 s
        const char* reason;
    } rows[] = {
        {"drains in 50 s, answered", {{40, 800}, {60, 400}, {80, 0}}, {}, {81}, 0, ""},
        {"drains in 50 s, unanswered", {{40, 800}, {60, 400}, {80, 0}}, {}, {}, 110, "no answer to a ping"},
        {"its last bytes stuck", {{40, 800}, {60, 1}}, {}, {}, 90, "the broker has read nothing for 30 s"},
        {"stops draining", {{40, 800}}, {}, {}, 70, "the broker has read nothing for 30 s"},
        {"drains nothing", {}, {}, {}, 60, "the broker has read nothing for 60 s"},
        {"left at once, input behind it", {{30, 0}}, {35, 50}, {}, 80, "no answer to a ping"},
    };
    for (const auto& row : rows) {
        Driver d;
        d.connect();
        const std::string payload(1000 - 8, 'p');  // a PUBLISH of 1000 bytes
        d.session.publish("big", reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                          Qos::AtMostOnce, false, d.now);
        ASSERT_EQ(d.write_all(1000).size(), 1000u);
        d.advance(30s);
        ASSERT_EQ(summary(d.write_all(1002)), "PINGREQ") << row.what;
        std::size_t unsent = 1002;
        int closed_at = 0;
        for (int t = 31; t <= 110 && !closed_at; ++t) {
            d.now += 1s;
            for (const auto& [at, bytes] : row.unsent)
                if (at <= t) unsent = bytes;
            for (const int at : row.input_at)
                if (at == t) d.feed(publish("in"));
            for (const int at : row.answer_at)
                if (at == t) d.feed(bytes({0xD0, 0}));
            d.write_all(unsent);  // a second PINGREQ, after an answer, leaves at once
            d.session.tick(d.now);
            if (d.closed()) closed_at = t;
        }
        EXPECT_EQ(closed_at, row.closed_at) << row.what;
        const auto closed = d.closed_with();
        EXPECT_EQ(closed ? closed->text : "", row.reason) << row.what;
    }
}

TEST(SessionCalls, OfflinePublishThrowsOnceALimitIsReached) {
    const auto packet = publish("t").size();
    struct Case {
        std::size_t max_publishes;
        std::size_t max_bytes;
        std::size_t accepted;
    } cases[] = {{3, 1 << 20, 3}, {0, 1 << 20, 0}, {100, 3 * packet, 3}, {100, 3 * packet - 1, 2}};
    for (const auto& c : cases) {
        mq::SessionSettings settings;
        settings.max_offline_publishes = c.max_publishes;
        settings.max_offline_bytes = c.max_bytes;
        Driver d(std::move(settings));
        for (std::size_t i = 0; i < c.accepted; ++i) d.publish("t");
        const auto error = error_of([&] { d.publish("t"); });
        EXPECT_TRUE(contains(error, "[buffer_full] Cannot publish to topic") &&
                    contains(error, "buffer of waiting publications is full"))
            << error;
        EXPECT_EQ(d.session.queued_publishes(), c.accepted);
        d.connect();
        d.publish("t");  // the socket takes it, and holds 4 of its bytes
        d.write_all(4);
        for (std::size_t i = 0; i <= c.accepted + 1; ++i) d.publish("t");  // no limit while connected
        // Until the broker reads nothing: then the same limits hold. Output
        // that still leaves the socket moves, though the socket takes none.
        d.session.pending_output();
        d.session.output_written(0, d.now, 4);
        d.advance(4s);
        d.session.output_unsent(3, d.now);
        d.advance(4999ms);
        EXPECT_FALSE(d.session.output_stalled(d.now));
        d.publish("t");
        d.advance(1ms);
        std::optional<mq::MqttError::Code> code;
        for (std::size_t i = 0; i <= c.max_publishes && !code; ++i) {
            try {
                d.publish("t");
            } catch (const mq::MqttError& e) {
                code = e.code();
                EXPECT_TRUE(contains(e.what(), "the broker reads nothing")) << e.what();
            }
        }
        EXPECT_EQ(code, mq::MqttError::Code::buffer_full);
    }
}

TEST(SessionCalls, RefusedTopicsAndFiltersThrowAndQueueNothing) {
    Driver d;
    d.connect();
    const std::pair<std::string, const char*> topics[] = {
        {"", "it is empty"},
        {"a/+", "it contains a wildcard"},
        {"a/#", "it contains a wildcard"},
        {"\xC3\x28", "it is not valid UTF-8"},
        {std::string("a\0b", 3), "it contains a zero byte"},
    };
    for (const auto& [topic, why] : topics) {
        const auto error = error_of([&] { d.publish(topic); });
        EXPECT_TRUE(contains(error, "[bad_topic] Refused to publish to topic") && contains(error, why))
            << error;
    }
    EXPECT_EQ(error_of([&] { d.publish("t", static_cast<Qos>(3)); }),
              "[bad_topic] Refused to publish to topic 't': QoS 3");
    const std::pair<std::string, const char*> filters[] = {
        {"", "it is empty"},   {"a/#/b", "misplaced #"},
        {"#a", "misplaced #"}, {"a/b#", "misplaced #"},
        {"a+", "misplaced +"}, {std::string(65536, 'f'), "longer than 65535 bytes"},
    };
    for (const auto& [filter, why] : filters) {
        const auto error = error_of([&] { d.subscribe(filter); });
        EXPECT_TRUE(contains(error, "[bad_topic] Refused to subscribe to") && contains(error, why)) << error;
        const auto unsubscribe_error = error_of([&] { d.session.unsubscribe(filter); });
        EXPECT_TRUE(contains(unsubscribe_error, "[bad_topic] Refused to unsubscribe from") &&
                    contains(unsubscribe_error, why))
            << unsubscribe_error;
    }
    EXPECT_EQ(d.write_all(), "");
    d.session.lost();
    d.connect();
    EXPECT_EQ(d.write_all(), "");
    d.subscribe(std::string(65535, 'f'));
    EXPECT_EQ(ids_of(d.write_all()).size(), 1u);
}

TEST(SessionInput, AMessageNoSubscriptionMatchesIsAcknowledgedDroppedAndToldOnceAMinute) {
    // Else a broker could fill the hold queue with topics no Receive asks for.
    mq::SessionSettings settings;
    settings.keep_alive = 400s;
    Driver d(std::move(settings));
    d.subscribe("a/+");
    d.connect();
    d.write_all();
    d.feed(publish("b", "stray", 1, 4) + publish("a/1", "wanted") + publish("c", "xy") + publish("d", "xyz"));
    EXPECT_EQ(d.received(), Strings{"a/1:wanted"});
    EXPECT_EQ(summary(d.write_all()), "PUBACK 4");
    EXPECT_EQ(d.notices(), Strings{"Dropped a message of 5 bytes on 'b': no subscription matches it"});
    EXPECT_EQ(d.ms_to_deadline(), 60'000);  // the count is told a minute after
    d.advance(59s);
    EXPECT_EQ(d.notices(), Strings{});
    d.advance(1s);
    EXPECT_EQ(d.notices(), Strings{"Dropped 2 messages on topics no subscription matches in the last minute, "
                                   "the last of 3 bytes on 'd': no subscription matches it"});
    d.session.unsubscribe("a/+");
    d.feed(publish("a/2", "in flight"));  // before the UNSUBACK, the broker may still send it
    EXPECT_EQ(d.received(), Strings{"a/2:in flight"});
}

// A broker that rewrites topics breaks the rules for one message: it is
// acknowledged and dropped, and the connection stays.
TEST(SessionInput, AMessageOnAnInvalidTopicIsDroppedAndTheConnectionStays) {
    const struct {
        std::string topic;
        const char* told;
    } cases[] = {
        {"", "on '': PUBLISH with an empty topic"},
        {"\xC3\x28", "on '\xC3(': PUBLISH with a topic that is not UTF-8"},
        {"a/\xED\xA0\x80", "PUBLISH with a topic that is not UTF-8"},
        {"\xC0\xAF", "PUBLISH with a topic that is not UTF-8"},
        {std::string("a\0b", 3), "on 'a?b': PUBLISH with U+0000 in its topic"},
        {"/qv/a+b", "Dropped a message of 1 bytes on '/qv/a+b': PUBLISH with a wildcard in its topic"},
        {"a/#", "on 'a/#': PUBLISH with a wildcard in its topic"},
    };
    for (const auto& c : cases) {
        Driver d({}, true);
        d.connect();
        d.feed(publish(c.topic, "p", 2, 9) + publish(c.topic, "p", 1, 10) + publish("after"));
        EXPECT_EQ(d.received(), Strings{"after:p"}) << c.told;
        EXPECT_EQ(summary(d.write_all()), "PUBREC 9, PUBACK 10") << c.told;
        const auto told = d.notices();
        ASSERT_EQ(told.size(), 1u) << c.told;
        EXPECT_TRUE(contains(told[0], c.told)) << told[0];
        EXPECT_FALSE(d.closed()) << c.told;
    }
}
