#pragma once

#include "mqtt-wrapper/export.h"

#include <string>

namespace quorvel::mosquitto {

// Where the broker is and who logs in: MQTT_BROKER, or tcp://127.0.0.1:1883
// when unset. Accepted: tcp://, mqtt:// (and a bare host:port) for TCP,
// mqtts:// and ssl:// for TLS, the port optional (1883, 8883), IPv6 hosts in
// brackets; unix:///path for a Unix socket. A user part
// (user:password@, percent-encoded) gives the login; the password in the
// file mqtt-password of $CREDENTIALS_DIRECTORY wins over the one in the
// address.
struct BrokerAddress {
    enum class Kind { tcp, tls, unix_socket };
    Kind kind = Kind::tcp;
    std::string uri;   // as given, the password shown as *** (for records)
    std::string host;  // tcp and tls; for tls also the name the certificate must carry
    std::string port;
    std::string path;  // unix_socket
    std::string user;  // empty: no login
    std::string password;
    bool has_password = false;
};

// Throws MqttError naming the address (never its password) when it is
// malformed or its scheme is not supported, or when the password file
// cannot be read.
MQTT_WRAPPER_API BrokerAddress broker_address_from_environment();
MQTT_WRAPPER_API BrokerAddress parse_broker_address(const std::string& uri);

}  // namespace quorvel::mosquitto
