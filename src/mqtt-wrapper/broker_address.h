#pragma once

#include <string>

namespace quorvel::mosquitto {

// Where the broker is: MQTT_BROKER, or tcp://127.0.0.1:1883 when unset.
// Accepted: tcp://host:port, mqtt://host:port and host:port, the port
// optional (1883); IPv6 hosts in brackets.
struct BrokerAddress {
    std::string uri;  // as given, for records
    std::string host;
    std::string port;
};

// Throws MqttError naming the address when it is malformed or its scheme is
// not supported.
BrokerAddress broker_address_from_environment();
BrokerAddress parse_broker_address(const std::string& uri);

}  // namespace quorvel::mosquitto
