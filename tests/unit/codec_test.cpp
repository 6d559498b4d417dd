#include "mqtt-wrapper/codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace codec = quorvel::mosquitto::codec;

namespace {

std::string publish(const std::string& topic, const std::string& payload, int qos = 0, std::uint16_t id = 0) {
    std::string out;
    codec::put_publish(out, topic, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                       qos, true, id);
    return out;
}

}  // namespace

TEST(Codec, RemainingLengthAtEveryByteBoundary) {
    // Body sizes where the length field grows a byte; publish_size must agree
    // with what put_publish writes and read_header must read it back.
    for (const std::size_t body : {0u, 127u, 128u, 16383u, 16384u, 2097151u, 2097152u}) {
        const std::size_t payload = body < 3 ? 0 : body - 3;  // topic "t" takes 3 bytes
        const auto packet = publish("t", std::string(payload, 'x'));
        EXPECT_EQ(packet.size(), codec::publish_size(1, payload, 0)) << body;
        codec::Header h{};
        ASSERT_EQ(codec::read_header(packet, h), codec::Framing::complete) << body;
        EXPECT_EQ(h.type, codec::publish);
        EXPECT_EQ(h.header_bytes + h.body_bytes, packet.size()) << body;
    }
}

TEST(Codec, HeadersArriveInPiecesAndBadOnesAreMalformed) {
    const auto packet = publish("a/b", std::string(200, 'x'));  // two length bytes
    codec::Header h{};
    EXPECT_EQ(codec::read_header(packet.substr(0, 0), h), codec::Framing::incomplete);
    EXPECT_EQ(codec::read_header(packet.substr(0, 2), h), codec::Framing::incomplete);
    EXPECT_EQ(codec::read_header(packet.substr(0, 3), h), codec::Framing::complete);

    EXPECT_EQ(codec::read_header(std::string("\x30\xFF\xFF\xFF\xFF\x01", 6), h), codec::Framing::malformed);
    EXPECT_EQ(codec::read_header(std::string("\x00\x00", 2), h), codec::Framing::malformed);  // type 0
    EXPECT_EQ(codec::read_header(std::string("\xF0\x00", 2), h), codec::Framing::malformed);  // type 15
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
        EXPECT_EQ(p.id, qos > 0 ? 513 : 0);
    }
}

TEST(Codec, TruncatedOrQosThreePublishIsRefused) {
    codec::Publish p{};
    const codec::Header qos1{codec::publish, 0x02, 2, 0};
    EXPECT_NE(nullptr, codec::read_publish(qos1, std::string("\x00", 1), p));
    EXPECT_NE(nullptr, codec::read_publish(qos1,
                                           std::string("\x00\x05"
                                                       "ab",
                                                       4),
                                           p));  // topic longer than body
    EXPECT_NE(nullptr, codec::read_publish(qos1,
                                           std::string("\x00\x01"
                                                       "a\x00",
                                                       4),
                                           p));  // no room for the id
    const codec::Header qos3{codec::publish, 0x06, 2, 0};
    EXPECT_NE(nullptr, codec::server_header_problem(qos3));
}

TEST(Codec, ControlPacketsHaveTheirFixedBytes) {
    std::string out;
    codec::put_ack(out, codec::pubrel, 0x1234);
    EXPECT_EQ(out, std::string("\x62\x02\x12\x34", 4));  // PUBREL carries flags 0010
    out.clear();
    codec::put_subscribe(out, 7, "a/#", 1);
    EXPECT_EQ(out, std::string("\x82\x08\x00\x07\x00\x03"
                               "a/#\x01",
                               10));
    out.clear();
    codec::put_connect(out, "id", true, 30);
    EXPECT_EQ(out, std::string("\x10\x0E\x00\x04MQTT\x04\x02\x00\x1E\x00\x02id", 16));
}
