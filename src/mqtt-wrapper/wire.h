#pragma once

// MQTT 3.1.1 packets as bytes: what the client writes and how it frames and
// reads what the broker sends.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::mosquitto::wire {

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

void put_connect(std::string& out, std::string_view client_id, bool clean_session,
                 std::uint16_t keep_alive_s);
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
// itself is, whether or not the body has arrived.
Framing read_header(std::string_view data, Header& header);

struct Publish {
    std::string_view topic;
    std::string_view payload;
    int qos;
    bool retain;
    std::uint16_t id;
};

// False when the body is not a well-formed PUBLISH.
bool read_publish(const Header& header, std::string_view body, Publish& publish);

// The packet id at the start of an ack body; false when there is none.
bool read_id(std::string_view body, std::uint16_t& id);

struct Unsent {
    std::size_t publishes = 0;       // whole PUBLISH packets kept
    std::vector<std::uint16_t> ids;  // their packet ids, for QoS above 0
    bool torn = false;               // a PUBLISH was cut off by the lost connection
};

// Of buffer, whose first sent bytes are already on the wire: appends every
// PUBLISH that starts at or after sent to kept. Other packets belong to the
// lost connection and are dropped.
Unsent keep_unsent_publishes(std::string_view buffer, std::size_t sent, std::string& kept);

}  // namespace quorvel::mosquitto::wire
