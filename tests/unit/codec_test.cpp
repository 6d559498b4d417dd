#include "mqtt-wrapper/core/codec.h"
#include "mqtt-wrapper/core/topic_rules.h"
#include "packet_kit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace codec = quorvel::mosquitto::codec;
using packet_kit::bytes;

namespace {

// A string literal with its embedded zero bytes.
template <std::size_t N>
std::string raw(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string publish(const std::string& topic, const std::string& payload, int qos = 0, std::uint16_t id = 0) {
    std::string out;
    codec::put_publish(out, topic, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                       qos, true, id);
    return out;
}

}  // namespace

TEST(Codec, ConnectBytes) {
    struct Case {
        const char* what;
        bool clean;
        std::uint16_t keep_alive_s;
        codec::Credentials credentials;
        std::string expected;
    } cases[] = {
        {"no credentials", true, 30, {}, raw("\x10\x0E\x00\x04MQTT\x04\x02\x00\x1E\x00\x02id")},
        {"not clean", false, 0x0102, {}, raw("\x10\x0E\x00\x04MQTT\x04\x00\x01\x02\x00\x02id")},
        {"user and password",
         true,
         30,
         {"u", "pw", true},
         raw("\x10\x15\x00\x04MQTT\x04\xC2\x00\x1E\x00\x02id\x00\x01u\x00\x02pw")},
        {"user without password",
         true,
         30,
         {"u", "", false},
         raw("\x10\x11\x00\x04MQTT\x04\x82\x00\x1E\x00\x02id\x00\x01u")},
        {"user with empty password",
         true,
         30,
         {"u", "", true},
         raw("\x10\x13\x00\x04MQTT\x04\xC2\x00\x1E\x00\x02id\x00\x01u\x00\x00")},
        // A password without a user name is not allowed, so it is left out.
        {"password without user",
         true,
         30,
         {"", "pw", true},
         raw("\x10\x0E\x00\x04MQTT\x04\x02\x00\x1E\x00\x02id")},
    };
    for (const auto& c : cases) {
        std::string out;
        codec::put_connect(out, "id", c.clean, c.keep_alive_s, c.credentials);
        EXPECT_EQ(out, c.expected) << c.what;
    }
}

TEST(Codec, ControlPacketBytes) {
    std::string subscribe, unsubscribe, acks, bare;
    codec::put_subscribe(subscribe, 7, "a/#", 1);
    codec::put_unsubscribe(unsubscribe, 0x0102, "a/#");
    for (const auto type : {codec::puback, codec::pubrec, codec::pubrel, codec::pubcomp}) {
        codec::put_ack(acks, type, 0x1234);
    }
    codec::put_bare(bare, codec::pingreq);
    codec::put_bare(bare, codec::disconnect);
    EXPECT_EQ(subscribe, raw("\x82\x08\x00\x07\x00\x03"
                             "a/#\x01"));
    EXPECT_EQ(unsubscribe, raw("\xA2\x07\x01\x02\x00\x03"
                               "a/#"));
    // PUBREL alone carries flags 0010.
    EXPECT_EQ(acks, raw("\x40\x02\x12\x34\x50\x02\x12\x34\x62\x02\x12\x34\x70\x02\x12\x34"));
    EXPECT_EQ(bare, raw("\xC0\x00\xE0\x00"));
    EXPECT_EQ(publish("t", "p", 1, 0x0A0B), raw("\x33\x06\x00\x01t\x0A\x0Bp"));
}

TEST(Codec, RemainingLengthAtEveryByteBoundary) {
    // Body sizes where the length field grows a byte; put_publish must write
    // the kit's bytes, publish_size must agree and read_header must read it back.
    for (const std::size_t body : {0u, 127u, 128u, 16383u, 16384u, 2097151u, 2097152u}) {
        const std::size_t payload = body < 3 ? 0 : body - 3;  // topic "t" takes 3 bytes
        const auto packet = publish("t", std::string(payload, 'x'));
        EXPECT_EQ(packet, packet_kit::publish("t", std::string(payload, 'x'), 0, 0, false, true)) << body;
        EXPECT_EQ(packet.size(), codec::publish_size(1, payload, 0)) << body;
        codec::Header h{};
        ASSERT_EQ(codec::read_header(packet, h), codec::Framing::complete) << body;
        EXPECT_EQ(h.type, codec::publish);
        EXPECT_EQ(h.header_bytes + h.body_bytes, packet.size()) << body;
    }
}

TEST(Codec, ReadHeaderTable) {
    using F = codec::Framing;
    struct Case {
        std::string in;
        F framing;
        std::size_t header_bytes;
        std::size_t body_bytes;
    } cases[] = {
        {"", F::incomplete, 0, 0},
        {bytes({0x30}), F::incomplete, 0, 0},
        {bytes({0x30, 0x80}), F::incomplete, 0, 0},
        {bytes({0x30, 0xFF, 0xFF, 0xFF}), F::incomplete, 0, 0},
        {bytes({0x30, 0x00}), F::complete, 2, 0},
        {bytes({0x30, 0x7F}), F::complete, 2, 127},
        {bytes({0x30, 0x80, 0x01}), F::complete, 3, 128},
        {bytes({0x30, 0xFF, 0x7F}), F::complete, 3, 16383},
        {bytes({0x30, 0x80, 0x80, 0x01}), F::complete, 4, 16384},
        {bytes({0x30, 0xFF, 0xFF, 0xFF, 0x7F}), F::complete, 5, codec::max_remaining_length},
        {bytes({0xD0, 0x00, 0x99}), F::complete, 2, 0},  // what follows is the next packet
        {bytes({0x30, 0xFF, 0xFF, 0xFF, 0xFF}), F::malformed, 0, 0},
        {bytes({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), F::malformed, 0, 0},
        {bytes({0x00}), F::malformed, 0, 0},
        {bytes({0x0F, 0x00}), F::malformed, 0, 0},
        {bytes({0xF0}), F::malformed, 0, 0},
    };
    for (const auto& c : cases) {
        codec::Header h{};
        ASSERT_EQ(codec::read_header(c.in, h), c.framing) << testing::PrintToString(c.in);
        if (c.framing != F::complete) continue;
        EXPECT_EQ(h.type, static_cast<unsigned char>(c.in[0]) >> 4);
        EXPECT_EQ(h.header_bytes, c.header_bytes) << testing::PrintToString(c.in);
        EXPECT_EQ(h.body_bytes, c.body_bytes) << testing::PrintToString(c.in);
    }
    codec::Header h{};
    ASSERT_EQ(codec::read_header(bytes({0x6A, 0x02}), h), F::complete);
    EXPECT_EQ(h.type, codec::pubrel);
    EXPECT_EQ(h.flags, 0x0A);
}

TEST(Codec, ServerMaySendOnlyTheseHeaders) {
    // Every first byte with short lengths: exactly these pass.
    const auto allowed = [](unsigned first, std::size_t length) {
        const unsigned type = first >> 4;
        const unsigned qos = (first >> 1) & 0x03;
        if (type == codec::publish) return qos != 3 && !((first & 0x08) != 0 && qos == 0);
        return (first == 0x20 && length == 2) || (first == 0x40 && length == 2) ||
               (first == 0x50 && length == 2) || (first == 0x62 && length == 2) ||
               (first == 0x70 && length == 2) || (first == 0x90 && length == 3) ||
               (first == 0xB0 && length == 2) || (first == 0xD0 && length == 0);
    };
    for (unsigned first = 0x10; first < 0xF0; ++first) {
        for (std::size_t length = 0; length <= 4; ++length) {
            const codec::Header h{static_cast<codec::Type>(first >> 4),
                                  static_cast<unsigned char>(first & 0x0F), 2, length};
            EXPECT_EQ(codec::server_header_problem(h) == nullptr, allowed(first, length))
                << std::hex << first << " length " << length;
        }
    }

    struct Case {
        unsigned first;
        std::size_t length;
        const char* problem;
    } cases[] = {
        {0x4F, 2, "reserved flag bits set"},        {0x60, 2, "reserved flag bits set"},
        {0x21, 2, "reserved flag bits set"},        {0x90, 4, "wrong remaining length"},
        {0xD0, 1, "wrong remaining length"},        {0x36, 9, "PUBLISH with QoS 3"},
        {0x38, 9, "PUBLISH with DUP set on QoS 0"}, {0x82, 6, "a packet type that only clients send"},
    };
    for (const auto& c : cases) {
        const codec::Header h{static_cast<codec::Type>(c.first >> 4),
                              static_cast<unsigned char>(c.first & 0x0F), 2, c.length};
        const char* problem = codec::server_header_problem(h);
        EXPECT_STREQ(problem, c.problem) << std::hex << c.first;
    }
}

TEST(Codec, PublishRoundTripKeepsBinaryPayloadQosAndId) {
    const std::string payload("a\0b\xFF", 4);
    for (int qos = 0; qos <= 2; ++qos) {
        const auto packet = publish("/devices/x", payload, qos, 513);
        codec::Header h{};
        ASSERT_EQ(codec::read_header(packet, h), codec::Framing::complete);
        codec::Publish p{};
        ASSERT_EQ(nullptr, codec::read_publish(h, std::string_view(packet).substr(h.header_bytes), p));
        EXPECT_EQ(p.topic, "/devices/x");
        EXPECT_EQ(p.payload, payload);
        EXPECT_EQ(p.qos, qos);
        EXPECT_TRUE(p.retain);
        EXPECT_FALSE(p.dup);
        EXPECT_EQ(p.id, qos > 0 ? 513 : 0);
    }
}

TEST(Codec, ReadPublishProblems) {
    struct Case {
        unsigned char flags;
        std::string body;
        const char* problem;  // null: valid
    } cases[] = {
        {0x00, "", "PUBLISH too short"},
        {0x00, raw("\x00"), "PUBLISH too short"},
        {0x00,
         raw("\x00\x05"
             "ab"),
         "PUBLISH too short"},
        {0x02, raw("\x00\x01t\x00"), "PUBLISH too short"},  // no room for the id
        {0x02, raw("\x00\x01t\x00\x00"), "PUBLISH with packet id 0"},
        {0x04, raw("\x00\x01t\x00\x00p"), "PUBLISH with packet id 0"},
        {0x00, raw("\x00\x00p"), "PUBLISH with an empty topic"},
        {0x00, raw("\x00\x02\xC3\x28"), "PUBLISH with a topic that is not UTF-8"},
        {0x00, raw("\x00\x03\xED\xA0\x80"), "PUBLISH with a topic that is not UTF-8"},
        {0x00, raw("\x00\x02\xC0\xAF"), "PUBLISH with a topic that is not UTF-8"},
        {0x00,
         raw("\x00\x03"
             "a\x00z"),
         "PUBLISH with U+0000 in its topic"},
        {0x00,
         raw("\x00\x03"
             "a/+"),
         "PUBLISH with a wildcard in its topic"},
        {0x00, raw("\x00\x01#"), "PUBLISH with a wildcard in its topic"},
        {0x00, raw("\x00\x01t"), nullptr},                  // empty payload
        {0x02, raw("\x00\x01t\x00\x01"), nullptr},          // QoS 1, empty payload
        {0x08 | 0x04, raw("\x00\x01t\xFF\xFFp"), nullptr},  // DUP on QoS 2, id 65535
        {0x00, raw("\x00\x02\x01\x7F"), nullptr},           // control characters are allowed from a server
        {0x00, raw("\x00\x03\xEF\xBF\xBE"), nullptr},       // and so are noncharacters
    };
    for (const auto& c : cases) {
        const codec::Header h{codec::publish, c.flags, 2, c.body.size()};
        codec::Publish p{};
        const char* problem = codec::read_publish(h, c.body, p);
        if (!problem)
            problem = quorvel::mosquitto::received_topic_problem(p.topic);  // told, the connection kept
        EXPECT_STREQ(problem, c.problem) << testing::PrintToString(c.body);
    }
}
