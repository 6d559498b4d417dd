#include "mqtt-wrapper/wire.h"

namespace quorvel::mosquitto::wire {

namespace {

constexpr unsigned protocol_level = 4;  // 3.1.1

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

std::uint16_t get_u16(std::string_view s, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(s[at]) << 8) |
                                      static_cast<unsigned char>(s[at + 1]));
}

}  // namespace

std::size_t publish_size(std::size_t topic_bytes, std::size_t payload_bytes, int qos) {
    const std::size_t body = 2 + topic_bytes + (qos > 0 ? 2 : 0) + payload_bytes;
    return 1 + length_bytes(body) + body;
}

void put_connect(std::string& out, std::string_view client_id, bool clean_session,
                 std::uint16_t keep_alive_s) {
    put_fixed(out, connect, 0, 2 + 4 + 1 + 1 + 2 + 2 + client_id.size());
    put_string(out, "MQTT");
    out += static_cast<char>(protocol_level);
    out += static_cast<char>(clean_session ? 0x02 : 0x00);
    put_u16(out, keep_alive_s);
    put_string(out, client_id);
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
    std::size_t length = 0;
    std::size_t multiplier = 1;
    for (std::size_t i = 1; i <= 4; ++i) {
        if (i >= data.size()) return Framing::incomplete;
        const auto byte = static_cast<unsigned char>(data[i]);
        length += (byte & 0x7Fu) * multiplier;
        if ((byte & 0x80) == 0) {
            const auto first = static_cast<unsigned char>(data[0]);
            header.type = static_cast<Type>(first >> 4);
            header.flags = first & 0x0F;
            header.header_bytes = i + 1;
            header.body_bytes = length;
            return header.type == 0 || header.type == 15 ? Framing::malformed : Framing::complete;
        }
        multiplier *= 128;
    }
    return Framing::malformed;  // a fifth length byte
}

bool read_publish(const Header& header, std::string_view body, Publish& publish) {
    publish.qos = (header.flags >> 1) & 0x03;
    publish.retain = (header.flags & 0x01) != 0;
    if (publish.qos == 3 || body.size() < 2) return false;
    const std::size_t topic_bytes = get_u16(body, 0);
    std::size_t at = 2 + topic_bytes;
    if (body.size() < at + (publish.qos > 0 ? 2 : 0)) return false;
    publish.topic = body.substr(2, topic_bytes);
    publish.id = 0;
    if (publish.qos > 0) {
        publish.id = get_u16(body, at);
        at += 2;
    }
    publish.payload = body.substr(at);
    return true;
}

bool read_id(std::string_view body, std::uint16_t& id) {
    if (body.size() < 2) return false;
    id = get_u16(body, 0);
    return true;
}

Unsent keep_unsent_publishes(std::string_view buffer, std::size_t sent, std::string& kept) {
    Unsent unsent;
    std::size_t at = 0;
    Header header{};
    while (at < buffer.size() && read_header(buffer.substr(at), header) == Framing::complete) {
        const std::size_t end = at + header.header_bytes + header.body_bytes;
        if (end > buffer.size()) break;
        if (header.type == publish && end > sent) {
            if (at < sent) {
                unsent.torn = true;
            } else {
                kept.append(buffer.data() + at, end - at);
                ++unsent.publishes;
                Publish p{};
                const auto body = buffer.substr(at + header.header_bytes, header.body_bytes);
                if (read_publish(header, body, p) && p.qos > 0) unsent.ids.push_back(p.id);
            }
        }
        at = end;
    }
    return unsent;
}

}  // namespace quorvel::mosquitto::wire
