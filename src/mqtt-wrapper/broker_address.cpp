#include "mqtt-wrapper/broker_address.h"

#include "mqtt-wrapper/types.h"
#include "mqtt-wrapper/utf8.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quorvel::mosquitto {

namespace {

constexpr const char* default_broker = "tcp://127.0.0.1:1883";
constexpr const char* password_file = "mqtt-password";
constexpr std::size_t max_host_bytes = 253;  // of a DNS name
constexpr std::size_t shown_address_bytes = 200;
constexpr const char* schemes[] = {"tcp", "mqtt", "mqtts", "ssl", "unix"};
constexpr const char* tls_files[] = {"MQTT_CA_FILE", "MQTT_CERT_FILE", "MQTT_KEY_FILE"};

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long n = std::strtol(port.c_str(), nullptr, 10);
    return n >= 1 && n <= 65535;
}

// An address as a refusal shows it: whatever lies between "//" (or the
// start) and the last '@' masked, whether or not it parsed as a user part,
// and no longer than a line should be.
std::string masked(const std::string& uri) {
    const auto slashes = uri.find("//");
    const std::size_t from = slashes == std::string::npos ? 0 : slashes + 2;
    const auto at = uri.rfind('@');
    std::string shown = uri;
    if (at != std::string::npos && at >= from) shown = uri.substr(0, from) + "***" + uri.substr(at);
    if (shown.size() > shown_address_bytes) shown = shown.substr(0, shown_address_bytes) + "…";
    return shown;
}

[[noreturn]] void refuse(const std::string& uri, const char* why) {
    throw MqttError(
        fmt::format("Unsupported broker address '{}': {}; use tcp://host:port, "
                    "mqtts://host:port or unix:///path",
                    masked(uri), why));
}

// A name DNS could hold (letters, digits, '-', '.', '_'), or an IPv4 address.
bool plausible_host(const std::string& host) {
    if (host.size() > max_host_bytes) return false;
    for (const char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return false;
    }
    return true;
}

bool ipv6_literal(const std::string& host) {
    const std::string address = host.substr(0, host.find('%'));  // a zone: fe80::1%eth0
    unsigned char buffer[16];
    return ::inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = hex_digit(in[i + 1]);
        const int lo = hex_digit(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

void parse_host_and_port(BrokerAddress& a, std::string rest, const char* default_port) {
    const auto slash = rest.find('/');
    if (slash != std::string::npos) rest.erase(slash);
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) refuse(a.uri, "no closing bracket");
        a.host = rest.substr(1, close - 1);
        if (!ipv6_literal(a.host)) refuse(a.uri, "no IPv6 address between the brackets");
        if (rest.size() == close + 1) {
            a.port = default_port;
        } else if (rest[close + 1] == ':') {
            a.port = rest.substr(close + 2);
        } else {
            refuse(a.uri, "text after the bracket");
        }
    } else {
        const auto colon = rest.rfind(':');
        a.host = rest.substr(0, colon);
        a.port = colon == std::string::npos ? default_port : rest.substr(colon + 1);
        if (a.host.find(':') != std::string::npos)
            refuse(a.uri, "an IPv6 address needs brackets: [::1]:1883");
        if (a.host.size() > max_host_bytes) refuse(a.uri, "the host name is longer than 253 bytes");
        if (!plausible_host(a.host)) refuse(a.uri, "the host is neither a host name nor an IP address");
    }
    if (a.host.empty()) refuse(a.uri, "no host");
    if (!valid_port(a.port)) refuse(a.uri, "the port is not a number from 1 to 65535");
}

// The password in $CREDENTIALS_DIRECTORY/mqtt-password, less one line end.
bool read_password_file(std::string& password) {
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir) return false;
    const std::string path = std::string(dir) + "/" + password_file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw MqttError(fmt::format("Cannot read the MQTT password from {}: {}", path, std::strerror(errno)));
    }
    password.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || password.size() + static_cast<std::size_t>(n) > 65535) {
            const int error = errno;
            ::close(fd);
            OPENSSL_cleanse(buffer, sizeof buffer);
            throw MqttError(fmt::format("Cannot read the MQTT password from {}: {}", path,
                                        n < 0 ? std::strerror(error) : "longer than 65535 bytes"));
        }
        if (n == 0) break;
        password.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    OPENSSL_cleanse(buffer, sizeof buffer);
    if (!password.empty() && password.back() == '\n') password.pop_back();
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

}  // namespace

BrokerAddress parse_broker_address(const std::string& uri) {
    BrokerAddress a;
    std::string scheme = "tcp";
    std::string rest = uri;
    const auto scheme_end = uri.find("://");
    if (scheme_end != std::string::npos) {
        scheme = uri.substr(0, scheme_end);
        rest = uri.substr(scheme_end + 3);
    } else {
        // "mqtts:user@host" is a typo, not a host called mqtts with a
        // login, and must not turn TLS into plain TCP; "mqtt:1883" is a
        // host and a port.
        const auto colon = uri.find(':');
        const std::string word = uri.substr(0, colon);
        const std::string after = colon == std::string::npos ? "" : uri.substr(colon + 1);
        for (const char* known : schemes) {
            if (word == known &&
                (after.empty() || after.find_first_not_of("0123456789") != std::string::npos))
                refuse(uri, "the scheme must be followed by //");
        }
    }
    const bool unix_socket = scheme == "unix";

    // The user part ends at the last '@' (a raw '@' in a password is common);
    // in a Unix address it must come before the path.
    auto at = rest.rfind('@');
    if (unix_socket && at != std::string::npos && at > rest.find('/')) at = std::string::npos;
    std::string user_part;
    if (at != std::string::npos) {
        user_part = rest.substr(0, at);
        rest.erase(0, at + 1);
    }
    const auto colon = user_part.find(':');
    a.uri = uri.substr(0, scheme_end == std::string::npos ? 0 : scheme_end + 3);
    if (at != std::string::npos) {
        a.uri += user_part.substr(0, colon) + (colon == std::string::npos ? "" : ":***") + "@";
    }
    a.uri += rest;

    if (scheme == "tcp" || scheme == "mqtt") {
        a.kind = BrokerAddress::Kind::tcp;
    } else if (scheme == "ssl" || scheme == "mqtts") {
        a.kind = BrokerAddress::Kind::tls;
    } else if (unix_socket) {
        a.kind = BrokerAddress::Kind::unix_socket;
    } else {
        refuse(a.uri, "unknown scheme");
    }
    if (at != std::string::npos) {
        if (!percent_decode(user_part.substr(0, colon), a.user))
            refuse(a.uri, "bad percent-encoding in the user name");
        if (colon != std::string::npos) {
            if (!percent_decode(user_part.substr(colon + 1), a.password))
                refuse(a.uri, "bad percent-encoding in the password");
            a.has_password = true;
        }
        if (a.user.empty()) refuse(a.uri, "a user part without a user name");
        if (a.user.size() > 65535 || a.password.size() > 65535)
            refuse(a.uri, "a user name or password over 65535 bytes");
        if (!mqtt_utf8(a.user)) refuse(a.uri, "the user name is not UTF-8, or holds a zero byte");
    }

    if (a.kind == BrokerAddress::Kind::unix_socket) {
        a.path = rest;
        if (a.path.empty() || a.path[0] != '/') refuse(a.uri, "the socket's path must be absolute");
        if (a.path.size() >= sizeof(sockaddr_un{}.sun_path)) refuse(a.uri, "the socket's path is too long");
        return a;
    }
    parse_host_and_port(a, rest, a.kind == BrokerAddress::Kind::tls ? "8883" : "1883");
    return a;
}

BrokerAddress broker_address_from_environment() {
    const char* env = std::getenv("MQTT_BROKER");
    BrokerAddress a = parse_broker_address(env && *env ? env : default_broker);
    // A TLS file with a plain address means a missing 's', not a wish for
    // plain text.
    if (a.kind != BrokerAddress::Kind::tls) {
        for (const char* name : tls_files) {
            const char* value = std::getenv(name);
            if (value && *value)
                refuse(a.uri, fmt::format("{} is set, which only a mqtts:// address uses", name).c_str());
        }
    }
    if (read_password_file(a.password)) {
        a.has_password = true;
        if (a.user.empty()) {
            throw MqttError(
                fmt::format("The MQTT password in $CREDENTIALS_DIRECTORY/{} needs a user name in "
                            "the broker address '{}' (user@host)",
                            password_file, a.uri));
        }
    }
    return a;
}

}  // namespace quorvel::mosquitto
