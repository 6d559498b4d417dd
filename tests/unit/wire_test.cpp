#include "mqtt-wrapper/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wire = quorvel::mosquitto::wire;

namespace {

std::string publish(const std::string& topic, const std::string& payload, int qos = 0, std::uint16_t id = 0) {
    std::string out;
    wire::put_publish(out, topic, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), qos,
                      true, id);
    return out;
}

}  // namespace

TEST(Wire, RemainingLengthAtEveryByteBoundary) {
    // Body sizes where the length field grows a byte; publish_size must agree
    // with what put_publish writes and read_header must read it back.
    for (const std::size_t body : {0u, 127u, 128u, 16383u, 16384u, 2097151u, 2097152u}) {
        const std::size_t payload = body < 3 ? 0 : body - 3;  // topic "t" takes 3 bytes
        const auto packet = publish("t", std::string(payload, 'x'));
        EXPECT_EQ(packet.size(), wire::publish_size(1, payload, 0)) << body;
        wire::Header h{};
        ASSERT_EQ(wire::read_header(packet, h), wire::Framing::complete) << body;
        EXPECT_EQ(h.type, wire::publish);
        EXPECT_EQ(h.header_bytes + h.body_bytes, packet.size()) << body;
    }
}

TEST(Wire, HeadersArriveInPiecesAndBadOnesAreMalformed) {
    const auto packet = publish("a/b", std::string(200, 'x'));  // two length bytes
    wire::Header h{};
    EXPECT_EQ(wire::read_header(packet.substr(0, 0), h), wire::Framing::incomplete);
    EXPECT_EQ(wire::read_header(packet.substr(0, 2), h), wire::Framing::incomplete);
    EXPECT_EQ(wire::read_header(packet.substr(0, 3), h), wire::Framing::complete);

    EXPECT_EQ(wire::read_header(std::string("\x30\xFF\xFF\xFF\xFF\x01", 6), h), wire::Framing::malformed);
    EXPECT_EQ(wire::read_header(std::string("\x00\x00", 2), h), wire::Framing::malformed);  // type 0
    EXPECT_EQ(wire::read_header(std::string("\xF0\x00", 2), h), wire::Framing::malformed);  // type 15
}

TEST(Wire, PublishRoundTripKeepsBinaryPayloadQosAndId) {
    const std::string payload("a\0b\xFF", 4);
    for (int qos = 0; qos <= 2; ++qos) {
        const auto packet = publish("/devices/x", payload, qos, 513);
        wire::Header h{};
        ASSERT_EQ(wire::read_header(packet, h), wire::Framing::complete);
        wire::Publish p{};
        ASSERT_TRUE(wire::read_publish(h, std::string_view(packet).substr(h.header_bytes), p));
        EXPECT_EQ(p.topic, "/devices/x");
        EXPECT_EQ(p.payload, payload);
        EXPECT_EQ(p.qos, qos);
        EXPECT_TRUE(p.retain);
        EXPECT_EQ(p.id, qos > 0 ? 513 : 0);
    }
}

TEST(Wire, TruncatedOrQosThreePublishIsRefused) {
    wire::Publish p{};
    const wire::Header qos1{wire::publish, 0x02, 2, 0};
    EXPECT_FALSE(wire::read_publish(qos1, std::string("\x00", 1), p));
    EXPECT_FALSE(wire::read_publish(qos1,
                                    std::string("\x00\x05"
                                                "ab",
                                                4),
                                    p));  // topic longer than body
    EXPECT_FALSE(wire::read_publish(qos1,
                                    std::string("\x00\x01"
                                                "a\x00",
                                                4),
                                    p));  // no room for the id
    const wire::Header qos3{wire::publish, 0x06, 2, 0};
    EXPECT_FALSE(wire::read_publish(qos3,
                                    std::string("\x00\x01"
                                                "a\x00\x01",
                                                5),
                                    p));
}

TEST(Wire, ControlPacketsHaveTheirFixedBytes) {
    std::string out;
    wire::put_ack(out, wire::pubrel, 0x1234);
    EXPECT_EQ(out, std::string("\x62\x02\x12\x34", 4));  // PUBREL carries flags 0010
    out.clear();
    wire::put_subscribe(out, 7, "a/#", 1);
    EXPECT_EQ(out, std::string("\x82\x08\x00\x07\x00\x03"
                               "a/#\x01",
                               10));
    out.clear();
    wire::put_connect(out, "id", true, 30);
    EXPECT_EQ(out, std::string("\x10\x0E\x00\x04MQTT\x04\x02\x00\x1E\x00\x02id", 16));
}

TEST(Wire, AfterALostConnectionOnlyWholeUnsentPublicationsAreKept) {
    std::string buffer;
    wire::put_subscribe(buffer, 1, "s/#", 0);
    const auto sent_part = publish("a", "1");
    buffer += sent_part;
    const auto torn = publish("b", "22");
    const std::size_t cut = buffer.size() + 2;  // the connection dropped inside "b"
    buffer += torn;
    wire::put_bare(buffer, wire::pingreq);
    const auto kept_qos0 = publish("c", "333");
    const auto kept_qos1 = publish("d", "4", 1, 9);
    buffer += kept_qos0 + kept_qos1;

    std::string kept = "earlier";
    const auto unsent = wire::keep_unsent_publishes(buffer, cut, kept);
    EXPECT_EQ(kept, "earlier" + kept_qos0 + kept_qos1);  // no SUBSCRIBE, no PINGREQ
    EXPECT_EQ(unsent.publishes, 2u);
    EXPECT_EQ(unsent.ids, std::vector<std::uint16_t>{9});
    EXPECT_TRUE(unsent.torn);

    kept.clear();
    const auto at_boundary =
        wire::keep_unsent_publishes(buffer, buffer.size() - kept_qos0.size() - kept_qos1.size(), kept);
    EXPECT_FALSE(at_boundary.torn);
    EXPECT_EQ(at_boundary.publishes, 2u);
}
