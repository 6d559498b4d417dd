#pragma once

// MQTT 3.1.1 packets as bytes: what the client writes, and how it frames and
// checks what a server sends. Pure functions; no state.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::mosquitto::codec {

enum Type : unsigned char {
    connect = 1,
    connack = 2,
    publish = 3,
    puback = 4,
    pubrec = 5,
    pubrel = 6,
    pubcomp = 7,
    subscribe = 8,
    suback = 9,
    unsubscribe = 10,
    unsuback = 11,
    pingreq = 12,
    pingresp = 13,
    disconnect = 14,
};

constexpr std::size_t max_remaining_length = 268435455;
constexpr std::size_t max_string_bytes = 65535;

// Bytes a PUBLISH of this topic and payload takes, header included.
std::size_t publish_size(std::size_t topic_bytes, std::size_t payload_bytes, int qos);

struct Credentials {
    std::string_view user;  // empty: none
    std::string_view password;
    bool has_password = false;
};

void put_connect(std::string& out, std::string_view client_id, bool clean_session, std::uint16_t keep_alive_s,
                 const Credentials& credentials = {});
void put_publish(std::string& out, std::string_view topic, const unsigned char* payload, std::size_t size,
                 int qos, bool retain, std::uint16_t id);
void put_subscribe(std::string& out, std::uint16_t id, std::string_view filter, int qos);
void put_unsubscribe(std::string& out, std::uint16_t id, std::string_view filter);
// PUBACK, PUBREC, PUBREL and PUBCOMP: a packet id and nothing else.
void put_ack(std::string& out, Type type, std::uint16_t id);
// PINGREQ and DISCONNECT.
void put_bare(std::string& out, Type type);

struct Header {
    Type type;
    unsigned char flags;
    std::size_t header_bytes;  // fixed header: type byte and remaining length
    std::size_t body_bytes;
};

enum class Framing { complete, incomplete, malformed };

// The fixed header at the start of data; complete as soon as the header
// itself is, whether or not the body has arrived. Malformed: a fifth length
// byte, or packet type 0 or 15.
Framing read_header(std::string_view data, Header& header);

// Why a server may not send a packet with this header (a type only clients
// send, reserved flag bits, a length its type never has), or null.
const char* server_header_problem(const Header& header);

struct Publish {
    std::string_view topic;
    std::string_view payload;
    int qos;
    bool retain;
    bool dup;
    std::uint16_t id;
};

// Reads a PUBLISH body; returns why it is not a valid one from a server (a
// short body, packet id 0 on QoS 1 or 2, a topic that is empty, not UTF-8,
// or holds U+0000 or a wildcard), or null.
const char* read_publish(const Header& header, std::string_view body, Publish& publish);

// The big-endian 16-bit number at the start of body, which holds two bytes at least.
std::uint16_t read_u16(std::string_view body);

}  // namespace quorvel::mosquitto::codec
