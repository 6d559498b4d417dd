#pragma once

// MQTT 3.1.1 packets as the tests, the fuzz target and the load tools put
// them on the wire, and split them off it. Encoded here and not by the client
// library's codec, so that what the codec writes can be checked against them.
// Malformed packets are built from the same pieces: bytes(), packet(), u16().

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace packet_kit {

enum class Type : unsigned char {
    connect = 1,
    connack,
    publish,
    puback,
    pubrec,
    pubrel,
    pubcomp,
    subscribe,
    suback,
    unsubscribe,
    unsuback,
    pingreq,
    pingresp,
    disconnect,
};

// Any bytes, malformed ones too: bytes({0x30, 0xFF}).
inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) out += static_cast<char>(v);
    return out;
}

// Seven bits a byte, least significant first; the top bit says more follow.
inline std::string remaining_length(std::size_t n) {
    std::string out;
    for (; n >= 0x80; n >>= 7) out += static_cast<char>(0x80 | (n & 0x7F));
    out += static_cast<char>(n);
    return out;
}

// How many bytes the remaining length n takes.
inline std::size_t length_size(std::size_t n) {
    return remaining_length(n).size();
}

inline std::string u16(std::uint16_t v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

// A string with its two-byte length.
inline std::string str(std::string_view s) {
    return u16(static_cast<std::uint16_t>(s.size())).append(s);
}

inline std::string packet(unsigned first_byte, std::string_view body) {
    std::string out(1, static_cast<char>(first_byte));
    return out.append(remaining_length(body.size())).append(body);
}

inline std::string connect(std::string_view client_id, bool clean, std::uint16_t keep_alive_s,
                           std::string_view user = {}, std::string_view password = {},
                           bool has_password = false) {
    const bool with_password = !user.empty() && has_password;
    const int flags = (clean ? 0x02 : 0) | (user.empty() ? 0 : 0x80) | (with_password ? 0x40 : 0);
    std::string body = str("MQTT") + bytes({0x04, flags}) + u16(keep_alive_s) + str(client_id);
    if (!user.empty()) body += str(user);
    if (with_password) body += str(password);
    return packet(0x10, body);
}

inline std::string connack(int flags = 0, int code = 0) {
    return bytes({0x20, 0x02, flags, code});
}

inline std::string publish(std::string_view topic, std::string_view payload = "p", int qos = 0,
                           std::uint16_t id = 0, bool dup = false, bool retain = false) {
    const unsigned first =
        0x30u | (dup ? 0x08u : 0u) | (static_cast<unsigned>(qos) << 1) | (retain ? 0x01u : 0u);
    const std::size_t body = 2 + topic.size() + (qos > 0 ? 2 : 0) + payload.size();
    std::string out(1, static_cast<char>(first));
    out.reserve(1 + length_size(body) + body);  // one allocation: the load tools send many
    out.append(remaining_length(body)).append(str(topic));
    if (qos > 0) out += u16(id);
    return out.append(payload);
}

// PUBACK, PUBREC, PUBREL (flags 0010), PUBCOMP or UNSUBACK.
inline std::string ack(Type type, std::uint16_t id) {
    const unsigned flags = type == Type::pubrel ? 0x02 : 0x00;
    return packet((static_cast<unsigned>(type) << 4) | flags, u16(id));
}

inline std::string suback(std::uint16_t id, int code) {
    return packet(0x90, u16(id) + static_cast<char>(code));
}

inline std::string subscribe(std::uint16_t id, std::string_view filter, int qos) {
    return packet(0x82, u16(id) + str(filter) + static_cast<char>(qos));
}

inline std::string pingresp() {
    return bytes({0xD0, 0x00});
}

// One packet at the front of a stream.
struct Frame {
    unsigned char first_byte = 0;
    std::string_view body;
    std::size_t size = 0;  // of the whole packet
};

// False while the first packet of in is incomplete; throws std::runtime_error
// on a remaining length over four bytes.
inline bool next_frame(std::string_view in, Frame& frame) {
    std::size_t length = 0;
    for (std::size_t at = 1; at <= 4 && at < in.size(); ++at) {
        const auto byte = static_cast<unsigned char>(in[at]);
        length |= static_cast<std::size_t>(byte & 0x7F) << (7 * (at - 1));
        if ((byte & 0x80) != 0) continue;
        if (in.size() - at - 1 < length) return false;
        frame = {static_cast<unsigned char>(in[0]), in.substr(at + 1, length), at + 1 + length};
        return true;
    }
    if (in.size() >= 5) throw std::runtime_error("a remaining length over four bytes");
    return false;
}

}  // namespace packet_kit
