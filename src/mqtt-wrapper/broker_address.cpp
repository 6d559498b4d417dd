#include "mqtt-wrapper/broker_address.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <cstdlib>

namespace quorvel::mosquitto {

namespace {

constexpr const char* default_broker = "tcp://127.0.0.1:1883";
constexpr const char* default_port = "1883";

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long n = std::strtol(port.c_str(), nullptr, 10);
    return n >= 1 && n <= 65535;
}

[[noreturn]] void refuse(const std::string& uri, const char* why) {
    throw MqttError(fmt::format("Unsupported broker address '{}': {}; use tcp://host:port", uri, why));
}

}  // namespace

BrokerAddress parse_broker_address(const std::string& uri) {
    BrokerAddress a;
    a.uri = uri;
    std::string rest = uri;
    const auto scheme_end = uri.find("://");
    if (scheme_end != std::string::npos) {
        const auto scheme = uri.substr(0, scheme_end);
        if (scheme != "tcp" && scheme != "mqtt") refuse(uri, "unknown scheme");
        rest = uri.substr(scheme_end + 3);
    }
    const auto slash = rest.find('/');
    if (slash != std::string::npos) rest.erase(slash);
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) refuse(uri, "no closing bracket");
        a.host = rest.substr(1, close - 1);
        if (rest.size() == close + 1) {
            a.port = default_port;
        } else if (rest[close + 1] == ':') {
            a.port = rest.substr(close + 2);
        } else {
            refuse(uri, "text after the bracket");
        }
    } else {
        const auto colon = rest.rfind(':');
        a.host = rest.substr(0, colon);
        a.port = colon == std::string::npos ? default_port : rest.substr(colon + 1);
    }
    if (a.host.empty()) refuse(uri, "no host");
    if (!valid_port(a.port)) refuse(uri, "the port is not a number from 1 to 65535");
    return a;
}

BrokerAddress broker_address_from_environment() {
    const char* env = std::getenv("MQTT_BROKER");
    return parse_broker_address(env && *env ? env : default_broker);
}

}  // namespace quorvel::mosquitto
