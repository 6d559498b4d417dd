#include "mqtt-wrapper/core/codec.h"

#include "mqtt-wrapper/core/topic_rules.h"

namespace quorvel::mosquitto::codec {

namespace {

constexpr unsigned protocol_level = 4;  // 3.1.1
constexpr unsigned char connect_clean_session = 0x02;
constexpr unsigned char connect_password = 0x40;
constexpr unsigned char connect_user = 0x80;

std::size_t length_bytes(std::size_t n) {
    return n < 128 ? 1 : n < 16384 ? 2 : n < 2097152 ? 3 : 4;
}

void put_length(std::string& out, std::size_t n) {
    do {
        auto byte = static_cast<unsigned char>(n % 128);
        n /= 128;
        if (n > 0) byte |= 0x80;
        out += static_cast<char>(byte);
    } while (n > 0);
}

void put_u16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

void put_string(std::string& out, std::string_view s) {
    put_u16(out, static_cast<std::uint16_t>(s.size()));
    out += s;
}

void put_fixed(std::string& out, Type type, unsigned flags, std::size_t body) {
    out += static_cast<char>((static_cast<unsigned>(type) << 4) | flags);
    put_length(out, body);
}

}  // namespace

std::uint16_t read_u16(std::string_view body) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(body[0]) << 8) |
                                      static_cast<unsigned char>(body[1]));
}

std::size_t publish_size(std::size_t topic_bytes, std::size_t payload_bytes, int qos) {
    const std::size_t body = 2 + topic_bytes + (qos > 0 ? 2 : 0) + payload_bytes;
    return 1 + length_bytes(body) + body;
}

void put_connect(std::string& out, std::string_view client_id, bool clean_session, std::uint16_t keep_alive_s,
                 const Credentials& credentials) {
    const bool user = !credentials.user.empty();
    const bool password = user && credentials.has_password;
    std::size_t body = 2 + 4 + 1 + 1 + 2 + 2 + client_id.size();
    if (user) body += 2 + credentials.user.size();
    if (password) body += 2 + credentials.password.size();
    unsigned char flags = clean_session ? connect_clean_session : 0;
    if (user) flags |= connect_user;
    if (password) flags |= connect_password;
    // All of it in one buffer: a password is never left behind in one the
    // string outgrew.
    out.reserve(out.size() + 1 + length_bytes(body) + body);
    put_fixed(out, connect, 0, body);
    put_string(out, "MQTT");
    out += static_cast<char>(protocol_level);
    out += static_cast<char>(flags);
    put_u16(out, keep_alive_s);
    put_string(out, client_id);
    if (user) put_string(out, credentials.user);
    if (password) put_string(out, credentials.password);
}

void put_publish(std::string& out, std::string_view topic, const unsigned char* payload, std::size_t size,
                 int qos, bool retain, std::uint16_t id) {
    const unsigned flags = (static_cast<unsigned>(qos) << 1) | (retain ? 1u : 0u);
    put_fixed(out, publish, flags, 2 + topic.size() + (qos > 0 ? 2 : 0) + size);
    put_string(out, topic);
    if (qos > 0) put_u16(out, id);
    out.append(reinterpret_cast<const char*>(payload), size);
}

void put_subscribe(std::string& out, std::uint16_t id, std::string_view filter, int qos) {
    put_fixed(out, subscribe, 0x02, 2 + 2 + filter.size() + 1);
    put_u16(out, id);
    put_string(out, filter);
    out += static_cast<char>(qos);
}

void put_unsubscribe(std::string& out, std::uint16_t id, std::string_view filter) {
    put_fixed(out, unsubscribe, 0x02, 2 + 2 + filter.size());
    put_u16(out, id);
    put_string(out, filter);
}

void put_ack(std::string& out, Type type, std::uint16_t id) {
    put_fixed(out, type, type == pubrel ? 0x02 : 0x00, 2);
    put_u16(out, id);
}

void put_bare(std::string& out, Type type) {
    put_fixed(out, type, 0, 0);
}

Framing read_header(std::string_view data, Header& header) {
    if (data.empty()) return Framing::incomplete;
    const auto first = static_cast<unsigned char>(data[0]);
    if ((first >> 4) == 0 || (first >> 4) == 15) return Framing::malformed;
    std::size_t length = 0;
    std::size_t multiplier = 1;
    for (std::size_t i = 1; i <= 4; ++i) {
        if (i >= data.size()) return Framing::incomplete;
        const auto byte = static_cast<unsigned char>(data[i]);
        length += (byte & 0x7Fu) * multiplier;
        if ((byte & 0x80) == 0) {
            header.type = static_cast<Type>(first >> 4);
            header.flags = first & 0x0F;
            header.header_bytes = i + 1;
            header.body_bytes = length;
            return Framing::complete;
        }
        multiplier *= 128;
    }
    return Framing::malformed;  // a fifth length byte
}

const char* server_header_problem(const Header& h) {
    const auto fixed = [&](unsigned char flags, std::size_t body) -> const char* {
        if (h.flags != flags) return "reserved flag bits set";
        if (h.body_bytes != body) return "wrong remaining length";
        return nullptr;
    };
    switch (h.type) {
        case connack:
            return fixed(0, 2);
        case publish:
            if (((h.flags >> 1) & 0x03) == 3) return "PUBLISH with QoS 3";
            if ((h.flags & 0x08) && ((h.flags >> 1) & 0x03) == 0) return "PUBLISH with DUP set on QoS 0";
            return nullptr;
        case puback:
        case pubrec:
        case pubcomp:
        case unsuback:
            return fixed(0, 2);
        case pubrel:
            return fixed(0x02, 2);
        case suback:
            return fixed(0, 3);  // one filter per SUBSCRIBE, so one return code
        case pingresp:
            return fixed(0, 0);
        default:
            return "a packet type that only clients send";
    }
}

const char* read_publish(const Header& header, std::string_view body, Publish& publish) {
    publish.qos = (header.flags >> 1) & 0x03;
    publish.retain = (header.flags & 0x01) != 0;
    publish.dup = (header.flags & 0x08) != 0;
    if (body.size() < 2) return "PUBLISH too short";
    const std::size_t topic_bytes = read_u16(body);
    std::size_t at = 2 + topic_bytes;
    if (body.size() < at + (publish.qos > 0 ? 2 : 0)) return "PUBLISH too short";
    publish.topic = body.substr(2, topic_bytes);
    publish.id = 0;
    if (publish.qos > 0) {
        publish.id = read_u16(body.substr(at));
        if (publish.id == 0) return "PUBLISH with packet id 0";
        at += 2;
    }
    publish.payload = body.substr(at);
    return nullptr;
}

}  // namespace quorvel::mosquitto::codec
