// The real service against a hostile MQTT server of the test's own: bytes
// that break the protocol, floods, a stall and a reset.
#include "broker.h"
#include "hostile_server.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using test_support::Connection;
using test_support::eventually;
using test_support::HostileServer;
using test_support::Packet;
using test_support::PacketType;
using test_support::ServiceProcess;
using namespace std::chrono_literals;
using packet_kit::bytes;
using packet_kit::publish;

namespace {

constexpr bool sanitized = test_support::sanitized_build();

const std::string client_id = "mqtt-external-source-data-getter";
const std::string configuration_topic = "/qv/bridge/configuration";
const std::string data_topic = "/qv/bridge/thirdparty_data/io";
const std::string configuration = R"({"version":2,"remote_ios":[{"id":"io","types":["t"]}]})";
const std::string record_154 =
    "ERROR src/services/external-source-data-getter/main:154 perform: Ошибка обработки: ";
const std::string drop_record = "Receive queue full: dropped ";
constexpr std::size_t peak_memory_limit_kib = 16 * 1024;
constexpr std::size_t flood_messages = 200000;
constexpr auto flood_time = 10s;
constexpr auto bootstrap_time = 30s;  // the service pauses 5 s in it
constexpr auto connect_timeout = 5s;  // the client's, for CONNACK

bool subscribes(const Packet& p, const std::string& filter) {
    return p.type == PacketType::subscribe && p.topic() == filter;
}

bool acknowledges(const Packet& p, PacketType type, std::uint16_t id) {
    return p.type == type && p.id() == id;
}

bool saw_subscribe(const std::vector<Packet>& packets, const std::string& filter) {
    for (const auto& p : packets) {
        if (subscribes(p, filter)) return true;
    }
    return false;
}

// A correct broker through the bootstrap on the first connection, or through
// the replayed subscriptions on a later one, up to the data topic's SUBSCRIBE.
void serve_until_data_subscribed(Connection& c) {
    c.serve_until([](const Packet& p) { return subscribes(p, data_topic); });
}

void serve_until_stopped(Connection& c) {
    c.serve_until([](const Packet&) { return false; });
}

std::string cannot_connect(const HostileServer& server, const std::string& reason) {
    return "Cannot connect to " + server.uri() + ": " + reason + "; retrying until it is up";
}

std::string lost(const HostileServer& server, const std::string& reason) {
    return "Connection to " + server.uri() + " lost: " + reason;
}

// After an outage the record goes on with " (down for ...)".
std::string connected(const HostileServer& server) {
    return "Connected to " + server.uri();
}

// The sum of N over the records "Receive queue full: dropped N oldest messages".
std::size_t dropped_in(const std::string& log) {
    std::size_t sum = 0;
    for (auto at = log.find(drop_record); at != std::string::npos; at = log.find(drop_record, at + 1)) {
        sum += std::stoul(log.substr(at + drop_record.size()));
    }
    return sum;
}

// Sanitizers and an emulator bring memory of their own: the bound is for
// the plain native build.
void expect_small_peak_memory(ServiceProcess& service, const std::string& what) {
    ASSERT_TRUE(service.running());
    const auto kib = service.peak_memory_kib();
    testing::Test::RecordProperty("peak_memory_kib " + what, std::to_string(kib));
    if (sanitized || ServiceProcess::emulated()) return;
    EXPECT_GT(kib, 0u) << what;
    EXPECT_LT(kib, peak_memory_limit_kib) << what;
}

}  // namespace

// Before the fix the client took whatever came before CONNACK as the start
// of a packet and grew its buffer for it, up to gigabytes.
TEST(HostileBeforeConnack, BytesInsteadOfConnackEndTheAttemptInsteadOfGrowingABuffer) {
    struct Stream {
        const char* name;
        std::string head;    // written once
        std::string unit;    // then written without end, when not empty
        std::string reason;  // the start of it
    };
    const Stream streams[] = {
        {"an HTTP error page",
         "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 24\r\n\r\n"
         "<h1>400 Bad Request</h1>",
         "", "protocol violation: PUBACK before CONNACK"},
        {"endless A bytes", "", std::string(4096, 'A'), "protocol violation: PUBACK before CONNACK"},
        {"endless 0xFF bytes", "", std::string(4096, '\xFF'), "protocol violation: "},
        {"a CONNACK of endless length bytes", "\x20", std::string(4096, '\xFF'),
         "protocol violation: remaining length over four bytes"},
        {"a CONNACK of the largest length", "\x20\xFF\xFF\xFF\x7F", std::string(4096, '\0'),
         "protocol violation: CONNACK (wrong remaining length, first byte 0x20, remaining length 268435455)"},
    };
    for (const auto& s : streams) {
        SCOPED_TRACE(s.name);
        HostileServer server([&](Connection& c) {
            c.read_packet();  // CONNECT
            c.write(s.head);
            if (!s.unit.empty()) c.flood(s.unit, flood_messages, 3s);
        });
        ServiceProcess service(server.uri());
        EXPECT_TRUE(eventually([&] { return server.connections() >= 4; }, 20s));
        ASSERT_TRUE(service.wait_for_log("Cannot connect to " + server.uri() + ": " + s.reason, 10s))
            << service.log();
        expect_small_peak_memory(service, s.name);
        EXPECT_EQ(service.count_in_log("; retrying until it is up\n"), 1u)
            << service.log();  // once per streak
        EXPECT_EQ(service.count_in_log("Connected to"), 0u);
        const auto first = server.packets(0);
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(first[0].type, PacketType::connect);
        EXPECT_EQ(first[0].topic(), client_id);
    }
}

// Each packet breaks a rule a server must keep. The faults guarded: a broken
// packet taken as a message and handed to the service, a connection kept
// after one, subscriptions not restored. A marker message after each
// reconnection shows the service back in its loop.
TEST(HostileAfterConnack, EachViolationEndsTheConnectionAndItsMessageIsNeverHandedOut) {
    struct Violation {
        std::string name;
        std::string bytes;
        std::string reason;
    };
    std::vector<Violation> cases;
    const auto payload = [&] { return "not json " + std::to_string(cases.size()); };
    // Every violation is a row of the session's table; these three check the
    // wiring: the record, the reconnection (a server that keeps breaking the
    // protocol is tried less and less often), the replayed subscriptions,
    // and a message that is never handed out.
    cases.push_back({"PUBLISH with packet id 0", publish("/qv/bridge/thirdparty_data/x", payload(), 1, 0),
                     "PUBLISH with packet id 0"});
    cases.push_back({"PUBACK with flags 0x0F", bytes({0x4F, 0x02, 0x00, 0x01}),
                     "PUBACK (reserved flag bits set, first byte 0x4F, remaining length 2)"});
    cases.push_back(
        {"SUBSCRIBE", packet_kit::subscribe(1, "#", 0), "SUBSCRIBE (a packet type that only clients send"});

    // Connection k delivers the marker of case k - 1, then breaks case k;
    // the one after the last case sends a QoS 2 message twice before PUBREL.
    constexpr std::uint16_t qos2_id = 7;
    HostileServer server(
        [&](Connection& c) {
            serve_until_data_subscribed(c);
            const std::size_t k = c.index();
            if (k > 0) c.write(publish(data_topic, "marker " + std::to_string(k - 1)));
            if (k < cases.size()) {
                c.write(cases[k].bytes);
                EXPECT_TRUE(c.stall(10s)) << "the client kept the connection after " << cases[k].name;
                return;
            }
            if (k > cases.size()) return serve_until_stopped(c);
            const auto pubrec = [](const Packet& p) { return acknowledges(p, PacketType::pubrec, qos2_id); };
            const auto pubcomp = [](const Packet& p) {
                return acknowledges(p, PacketType::pubcomp, qos2_id);
            };
            c.write(publish(data_topic, "qos2 twice", 2, qos2_id));
            c.write(publish(data_topic, "qos2 twice", 2, qos2_id, true));
            c.serve_until(pubrec);
            c.serve_until(pubrec);
            c.write(packet_kit::ack(PacketType::pubrel, qos2_id));
            c.serve_until(pubcomp);
            // Released, the id is free for a new message.
            c.write(publish(data_topic, "qos2 again", 2, qos2_id));
            c.serve_until(pubrec);
            c.write(packet_kit::ack(PacketType::pubrel, qos2_id));
            c.serve_until(pubcomp);
            // Topics a broker rewrote: dropped and told, the connection kept.
            c.write(publish("/qv/bridge/thirdparty_data/a+b", "not json wild"));
            c.write(publish("elsewhere", "not json stray"));
            c.write(publish(data_topic, "marker end"));
            serve_until_stopped(c);
        },
        {{configuration_topic, configuration}});
    ServiceProcess service(server.uri());
    ASSERT_TRUE(service.wait_for_log(record_154 + "marker end\n", bootstrap_time + 40s)) << service.log();

    const auto log = service.log();
    std::size_t at = 0;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        SCOPED_TRACE(cases[k].name);
        at = log.find(lost(server, "protocol violation: " + cases[k].reason), at);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_EQ(service.count_in_log(record_154 + "marker " + std::to_string(k) + "\n"), 1u);
        const auto packets = server.packets(k + 1);
        EXPECT_TRUE(saw_subscribe(packets, configuration_topic) && saw_subscribe(packets, data_topic))
            << "subscriptions not replayed";
    }
    EXPECT_EQ(service.count_in_log("protocol violation"), cases.size()) << log;
    EXPECT_EQ(service.count_in_log(lost(server, "")), cases.size());
    EXPECT_EQ(service.count_in_log(connected(server)), cases.size() + 1);
    EXPECT_EQ(service.count_in_log("Cannot connect to"), 0u);
    EXPECT_EQ(server.connections(), cases.size() + 1);
    EXPECT_EQ(service.count_in_log("not json"), 0u) << log;
    EXPECT_EQ(service.count_in_log(record_154 + "qos2 twice\n"), 1u);
    EXPECT_EQ(service.count_in_log(record_154 + "qos2 again\n"), 1u);
    EXPECT_EQ(service.count_in_log(record_154), cases.size() + 3);
    EXPECT_EQ(
        service.count_in_log("Dropped a message of 13 bytes on '/qv/bridge/thirdparty_data/a+b': PUBLISH "
                             "with a wildcard in its topic\n"),
        1u);
    EXPECT_EQ(
        service.count_in_log("Dropped a message of 14 bytes on 'elsewhere': no subscription matches it\n"),
        1u);
    EXPECT_TRUE(service.running());
}

// The fault guarded: a reserved packet type with a body reported as a
// length over four bytes, and one before CONNACK not named as such.
TEST(HostileReservedType, IsNamedAsSuchNotAsALengthOverFourBytes) {
    HostileServer server([&](Connection& c) {
        if (c.index() == 0) {
            c.serve_until([](const Packet& p) { return subscribes(p, configuration_topic); });
            c.write(bytes({0xF0, 0x03, 'a', 'b', 'c'}));
            EXPECT_TRUE(c.stall(10s));
        } else if (c.index() == 1) {
            c.read_packet();  // CONNECT
            c.write(std::string(8, '\xFF'));
            EXPECT_TRUE(c.stall(10s));
        } else {
            serve_until_stopped(c);
        }
    });
    ServiceProcess service(server.uri());
    ASSERT_TRUE(eventually([&] { return server.connections() >= 3; }, 20s));
    ASSERT_TRUE(service.wait_for_log(connected(server), 10s));
    EXPECT_EQ(service.count_in_log(lost(server, "protocol violation: a reserved packet type; reconnecting")),
              1u)
        << service.log();
    EXPECT_EQ(
        service.count_in_log(cannot_connect(server, "protocol violation: reserved type 15 before CONNACK")),
        1u)
        << service.log();
}

// The fault guarded: every message read held until taken, so that a source
// faster than the service grows it without bound.
TEST(HostileFlood, MessagesFasterThanTheServiceHandlesThemAreHandledOrDroppedInBoundedMemory) {
    std::atomic<std::size_t> sent{0};
    HostileServer server(
        [&](Connection& c) {
            serve_until_data_subscribed(c);
            if (c.index() == 0) {
                sent = c.flood(publish(data_topic, "flood"), flood_messages, flood_time);
                c.write(publish(data_topic, "marker"));
            }
            serve_until_stopped(c);
        },
        {{configuration_topic, configuration}});
    ServiceProcess service(server.uri());
    ASSERT_TRUE(service.wait_for_log(record_154 + "marker\n", bootstrap_time + flood_time + 30s));
    expect_small_peak_memory(service, "after a flood of data messages");
    // Each message is handled or counted as dropped; a drop is logged once
    // the queue has room again.
    std::size_t handled = 0;
    std::size_t dropped = 0;
    EXPECT_TRUE(eventually([&] {
        handled = service.count_in_log(record_154 + "flood\n");
        dropped = dropped_in(service.log());
        return handled + dropped == sent;
    }));
    EXPECT_EQ(handled + dropped, sent.load());
    EXPECT_GT(sent.load(), 0u);
    testing::Test::RecordProperty("sent", std::to_string(sent.load()));
    testing::Test::RecordProperty("handled", std::to_string(handled));
    testing::Test::RecordProperty("dropped", std::to_string(dropped));
    EXPECT_EQ(service.count_in_log("Connection to"), 0u) << "the flood broke the connection";
    EXPECT_EQ(server.connections(), 1u);
}

// A hostile server may send topics nobody subscribed to; no Receive ever
// takes them, so only the hold queue's bound stops them piling up.
TEST(HostileFlood, MessagesNoReceiveAsksForAreDroppedNotHeldWithoutBound) {
    std::atomic<std::size_t> sent{0};
    HostileServer server(
        [&](Connection& c) {
            serve_until_data_subscribed(c);
            if (c.index() == 0) {
                sent = c.flood(publish("stray/topic", "flood"), flood_messages, flood_time);
                c.write(publish(data_topic, "marker"));
            }
            serve_until_stopped(c);
        },
        {{configuration_topic, configuration}});
    ServiceProcess service(server.uri());
    ASSERT_TRUE(service.wait_for_log(record_154 + "marker\n", bootstrap_time + flood_time + 30s))
        << service.log();
    expect_small_peak_memory(service, "after a flood of stray messages");
    EXPECT_EQ(sent.load(), flood_messages) << "the client stopped reading";
    testing::Test::RecordProperty("dropped", std::to_string(dropped_in(service.log())));
    EXPECT_EQ(service.count_in_log("flood"), 0u);
    EXPECT_EQ(service.count_in_log("Connection to"), 0u);
}

// The fault guarded: stray messages right behind the retained configuration
// filled the hold queue and pushed the configuration out, so the bootstrap
// waited for ever.
TEST(HostileFlood, AStrayBurstDoesNotPushOutTheConfiguration) {
    HostileServer server(
        [&](Connection& c) {
            if (c.index() == 0) {
                c.serve_until([](const Packet& p) { return subscribes(p, configuration_topic); });
                c.flood(publish("stray/topic", "flood"), flood_messages, flood_time);
            }
            serve_until_stopped(c);
        },
        {{configuration_topic, configuration}});
    ServiceProcess service(server.uri());
    EXPECT_TRUE(test_support::eventually([&] { return saw_subscribe(server.packets(0), data_topic); },
                                         bootstrap_time + flood_time + 20s))
        << service.log();
}

// The fault guarded: a PUBLISH buffered whole whatever its length. One over
// the limit is skipped as it streams in, and the next packet is read from
// where it ends.
TEST(HostileOversized, APublishOverTheLimitIsSkippedNotBuffered) {
    constexpr std::size_t block_bytes = 1 << 20;
    constexpr std::size_t payload_blocks = 64;
    const std::string payload_block(block_bytes, 'x');
    // A QoS 0 PUBLISH up to its payload, which the flood then writes.
    const auto topic = packet_kit::str(data_topic);
    const auto body_bytes = topic.size() + payload_blocks * block_bytes;
    const auto oversized_head = "\x30" + packet_kit::remaining_length(body_bytes) + topic;
    std::atomic<std::size_t> blocks_sent{0};
    HostileServer server(
        [&](Connection& c) {
            serve_until_data_subscribed(c);
            if (c.index() == 0) {
                c.write(oversized_head);
                blocks_sent = c.flood(payload_block, payload_blocks, flood_time);
                c.write(publish(data_topic, "marker"));
            }
            serve_until_stopped(c);
        },
        {{configuration_topic, configuration}});
    ServiceProcess service(server.uri());
    ASSERT_TRUE(service.wait_for_log(record_154 + "marker\n", bootstrap_time + flood_time + 30s))
        << service.log();
    expect_small_peak_memory(service, "after an oversized PUBLISH");
    EXPECT_EQ(blocks_sent.load(), payload_blocks);
    EXPECT_EQ(service.count_in_log("Skipped a message of " + std::to_string(body_bytes) + " bytes on '" +
                                   data_topic + "': the limit is 1048576\n"),
              1u)
        << service.log();
    EXPECT_EQ(service.count_in_log(record_154), 1u);
    EXPECT_EQ(service.count_in_log("Connection to"), 0u);
}

// A server that takes the connection and then says nothing (or half a
// CONNACK) must not hold the client forever.
TEST(HostileStall, ASilentServerIsLeftAfterTheConnectTimeout) {
    std::atomic<long long> silent_ms{0};
    std::atomic<long long> half_connack_ms{0};
    HostileServer server([&](Connection& c) {
        if (c.index() > 1) return serve_until_stopped(c);
        c.read_packet();  // CONNECT
        if (c.index() == 1) c.write(bytes({0x20, 0x02, 0x00}));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(c.stall(20s)) << "connection " << c.index();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        (c.index() == 0 ? silent_ms : half_connack_ms) = ms.count();
    });
    ServiceProcess service(server.uri());
    ASSERT_TRUE(service.wait_for_log(cannot_connect(server, "no answer to CONNECT"), 15s)) << service.log();
    ASSERT_TRUE(service.wait_for_log(connected(server), 30s)) << service.log();
    EXPECT_EQ(server.connections(), 3u);
    EXPECT_EQ(service.count_in_log("Cannot connect to"), 1u);  // both attempts are one streak
    for (const long long ms : {silent_ms.load(), half_connack_ms.load()}) {
        // The server's clock starts after CONNECT reached it, which under an
        // emulator may be well after the client's did.
        EXPECT_GE(ms, std::chrono::milliseconds(connect_timeout).count() - 1000);
        EXPECT_LT(ms, std::chrono::milliseconds(connect_timeout).count() + 5000);
    }
    EXPECT_TRUE(service.running());
}

// A reset in the middle of a packet: the part read must not be taken as
// the start of the next connection's input, and the subscriptions come back.
TEST(HostileReset, AResetInsideAPacketIsOneLossThenAReplayOfTheSubscriptions) {
    HostileServer server(
        [&](Connection& c) {
            serve_until_data_subscribed(c);
            if (c.index() == 0) {
                const auto message = publish(data_topic, "not json torn");
                c.write(message.substr(0, message.size() / 2));
                c.reset();
                return;
            }
            if (c.index() == 1) c.write(publish(data_topic, "marker"));
            serve_until_stopped(c);
        },
        {{configuration_topic, configuration}});
    ServiceProcess service(server.uri());
    ASSERT_TRUE(service.wait_for_log(record_154 + "marker\n", bootstrap_time + 10s)) << service.log();
    // Seen by a read or by a write, whichever comes first: one loss either way.
    EXPECT_EQ(service.count_in_log("Connection to"), 1u) << service.log();
    EXPECT_EQ(service.count_in_log("Cannot connect to"), 0u) << "the torn part spoilt the next handshake";
    EXPECT_EQ(service.count_in_log(connected(server)), 2u);
    EXPECT_EQ(service.count_in_log("torn"), 0u);
    EXPECT_EQ(server.connections(), 2u);
    const auto replayed = server.packets(1);
    EXPECT_TRUE(saw_subscribe(replayed, configuration_topic));
    EXPECT_TRUE(saw_subscribe(replayed, data_topic));
    EXPECT_TRUE(service.running());
}
