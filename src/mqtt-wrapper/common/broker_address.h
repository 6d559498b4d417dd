#pragma once

#include "mqtt-wrapper/core/secret.h"
#include "mqtt-wrapper/export.h"

#include <string>
#include <string_view>

namespace quorvel::mosquitto {

// Where the broker is and who logs in: MQTT_BROKER, or tcp://127.0.0.1:1883
// when unset. Accepted: tcp://, mqtt:// (and a bare host:port) for TCP,
// mqtts:// and ssl:// for TLS, in any case (MQTTS:// is TLS too), the port
// optional (1883, 8883), IPv6 hosts in brackets; unix:///path for a Unix
// socket. A user part (user:password@, percent-encoded) gives the login; the
// password in the file mqtt-password of $CREDENTIALS_DIRECTORY wins over the
// one in the address.
//
// Refused, so that a typo never turns TLS into plain TCP: a word followed by
// "//" without ':' (mqtts//host), a TLS scheme followed by ':' without "//"
// (mqtts:host, Ssl:user:pw@host), another scheme followed by ':' and
// anything but a port (mqtt:user@host; mqtt:1883 is the host mqtt), and
// "://" after anything that is not a scheme (user:pw://x@host).
struct BrokerAddress {
    enum class Kind { tcp, tls, unix_socket };
    Kind kind = Kind::tcp;
    std::string uri;   // as given, the password shown as *** (for records)
    std::string host;  // tcp and tls; for tls also the name the certificate must carry
    std::string port;
    std::string path;  // unix_socket
    std::string user;  // empty: no login
    Secret password;   // its only copy, until the client's session takes it over
    bool has_password = false;
    // tls: MQTT_CA_FILE (empty: the system's trusted certificates),
    // MQTT_CERT_FILE and MQTT_KEY_FILE.
    std::string ca_file, cert_file, key_file;
};

// Throws MqttError naming the address when it is malformed or its scheme is
// not supported, or when the password file cannot be read. The error shows
// the scheme, the host and the port; never a password, nor what could be one
// (whatever precedes the last '@', or without '@', what follows the first ':'
// unless it is a port).
MQTT_WRAPPER_API BrokerAddress broker_address_from_environment();
MQTT_WRAPPER_API BrokerAddress parse_broker_address(std::string_view uri);

// The password in MQTT_BROKER written over with ***, in place, in this
// process's own environment, so that the client's session holds the only
// copy. For a program whose environment came with it from exec (not one set
// with setenv), once its client is made: a client made later would log in
// with *** as the password.
MQTT_WRAPPER_API void hide_broker_password_in_environment();

}  // namespace quorvel::mosquitto
