#include "mqtt-wrapper/common/broker_address.h"

#include "mqtt-wrapper/core/types.h"
#include "mqtt-wrapper/core/utf8.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace quorvel::mosquitto {

namespace {

constexpr std::string_view default_broker = "tcp://127.0.0.1:1883";
constexpr const char* password_file = "mqtt-password";
constexpr std::size_t max_host_bytes = 253;  // of a DNS name
constexpr std::size_t shown_address_bytes = 200;
constexpr std::string_view plain_schemes[] = {"tcp", "mqtt", "unix"};
constexpr std::string_view tls_schemes[] = {"mqtts", "ssl"};
constexpr const char* tls_files[] = {"MQTT_CA_FILE", "MQTT_CERT_FILE", "MQTT_KEY_FILE"};
constexpr auto npos = std::string_view::npos;

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == npos;
}

bool valid_port(std::string_view port) {
    if (!all_digits(port) || port.size() > 5) return false;
    long n = 0;
    for (const char c : port) n = n * 10 + (c - '0');
    return n >= 1 && n <= 65535;
}

// Where the word a scheme would be ends: letters, digits, '+', '-', '.'
// (RFC 3986), which never include a ':', so never a password.
std::size_t scheme_word_end(std::string_view uri) {
    std::size_t i = 0;
    while (i < uri.size() && (std::isalnum(static_cast<unsigned char>(uri[i])) || uri[i] == '+' ||
                              uri[i] == '-' || uri[i] == '.'))
        ++i;
    return i;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

template <std::size_t n>
bool one_of(std::string_view word, const std::string_view (&list)[n]) {
    for (const auto known : list) {
        if (word == known) return true;
    }
    return false;
}

bool ipv6_literal(std::string_view host) {
    // Copied to the stack for inet_pton, and wiped: a refused address may
    // hold a password where a host would be.
    char text[INET6_ADDRSTRLEN + 1];
    host = host.substr(0, host.find('%'));  // a zone: fe80::1%eth0
    if (host.size() >= sizeof text) return false;
    std::memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';
    unsigned char buffer[16];
    const bool ok = ::inet_pton(AF_INET6, text, buffer) == 1;
    wipe(text, sizeof text);
    return ok;
}

// A host and port as a refusal shows them, from an address without '@':
// what follows the first ':' could be a password (user:password with the
// '@host' forgotten) and is shown only when it is a port.
std::string host_and_port_shown(std::string_view rest) {
    if (rest.find(':') == npos || ipv6_literal(rest)) return std::string(rest);
    std::string_view host = rest;
    std::string_view tail;
    if (rest[0] == '[') {
        const auto close = rest.find(']');
        host = rest.substr(0, close == npos ? npos : close + 1);
        const auto inside = host.substr(1, close == npos ? npos : close - 1);
        if (!ipv6_literal(inside) && inside.find(':') != npos) return "[***";
        tail = rest.substr(host.size());
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        tail = rest.substr(colon);
    }
    if (tail.empty()) return std::string(host);
    const auto slash = tail.find('/');
    const auto port = tail.substr(1, slash == npos ? npos : slash - 1);
    if (tail[0] == ':' && valid_port(port))
        return fmt::format("{}:{}{}", host, port, slash == npos ? "" : "/***");
    return std::string(host) + (tail[0] == ':' ? ":***" : "***");
}

// An address as a refusal shows it: the scheme, then the host and port
// where nothing in them could be a login. Whatever could be a user or a
// password is ***: everything between the scheme and the last '@' (or from
// the start, when the address does not start with a scheme), or, without
// '@', what follows the first ':' unless that is a port. No longer than a
// line should be.
std::string shown(std::string_view uri) {
    std::size_t prefix = 0;
    const auto word = scheme_word_end(uri);
    if (word > 0 && std::isalpha(static_cast<unsigned char>(uri[0]))) {
        const auto after = uri.substr(word);
        const auto scheme = lower(uri.substr(0, word));
        if (starts_with(after, "://")) {
            prefix = word + 3;
        } else if (starts_with(after, "//")) {
            prefix = word + 2;
        } else if (starts_with(after, ":") &&
                   (one_of(scheme, plain_schemes) || one_of(scheme, tls_schemes))) {
            prefix = word + 1;
        }
    }
    std::string out(uri.substr(0, prefix));
    const auto rest = uri.substr(prefix);
    const auto at = rest.rfind('@');
    if (at != npos) {
        out += "***";
        out += rest.substr(at);
    } else {
        out += host_and_port_shown(rest);
    }
    if (out.size() > shown_address_bytes) out = out.substr(0, shown_address_bytes) + "…";
    return out;
}

[[noreturn]] void refuse(std::string_view uri, std::string_view why) {
    throw MqttError(fmt::format("Unsupported broker address '{}': {}; use tcp://host:port, "
                                "mqtts://host:port or unix:///path",
                                shown(uri), why),
                    MqttError::Code::bad_address);
}

// The parts of an address, as offsets into it, before anything is checked
// but its scheme. Refuses a scheme that could be a typo for one (and then
// turn TLS into plain TCP): "mqtts//host" (a word with "//" but no ':'),
// "mqtts:host" or "Ssl:user:pw@host" (a TLS scheme without "//"),
// "mqtt:user@host" (another scheme followed by anything but a port), and
// "user:pw://x@host" ("://" after something that is no scheme).
struct Parts {
    std::string scheme = "tcp";  // lower case
    std::size_t rest = 0;        // after "scheme://"
    std::size_t at = npos;       // the '@' that ends the user part
    std::size_t colon = npos;    // the ':' between user and password
};

Parts split(std::string_view uri) {
    Parts p;
    const auto word = scheme_word_end(uri);
    const auto after = uri.substr(word);
    const auto scheme = lower(uri.substr(0, word));
    if (starts_with(after, "://")) {
        if (word == 0 || !std::isalpha(static_cast<unsigned char>(uri[0])))
            refuse(uri, "no scheme before :// (tcp, mqtt, mqtts, ssl or unix)");
        p.scheme = scheme;
        p.rest = word + 3;
    } else if (starts_with(after, "//")) {
        refuse(uri, "the scheme must be followed by ://");
    } else if (starts_with(after, ":") && (one_of(scheme, tls_schemes) ||
                                           (one_of(scheme, plain_schemes) && !all_digits(after.substr(1))))) {
        // "mqtt:1883" is the host mqtt and its port; "mqtts:" is always a
        // scheme, whatever follows.
        refuse(uri, "the scheme must be followed by ://");
    } else if (uri.find("://") != npos) {
        refuse(uri, "no scheme before :// (tcp, mqtt, mqtts, ssl or unix)");
    }
    // The user part ends at the last '@' (a raw '@' in a password is
    // common); in a Unix address it must come before the path.
    const auto rest = uri.substr(p.rest);
    auto at = rest.rfind('@');
    if (p.scheme == "unix" && at != npos && at > rest.find('/')) at = npos;
    if (at != npos) {
        p.at = p.rest + at;
        const auto colon = rest.substr(0, at).find(':');
        if (colon != npos) p.colon = p.rest + colon;
    }
    return p;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Into a std::string or a Secret.
template <class Out>
bool percent_decode(std::string_view in, Out& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = hex_digit(in[i + 1]);
        const int lo = hex_digit(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

// A name DNS could hold (letters, digits, '-', '.', '_'), or an IPv4 address.
bool plausible_host(std::string_view host) {
    if (host.size() > max_host_bytes) return false;
    for (const char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return false;
    }
    return true;
}

// Everything is checked before it is copied: in a refused address, a
// password may stand where a host or port would be.
void parse_host_and_port(BrokerAddress& a, std::string_view uri, std::string_view rest,
                         std::string_view default_port) {
    rest = rest.substr(0, rest.find('/'));
    std::string_view host;
    std::string_view port = default_port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == npos) refuse(uri, "no closing bracket");
        host = rest.substr(1, close - 1);
        if (!ipv6_literal(host)) refuse(uri, "no IPv6 address between the brackets");
        if (rest.size() == close + 1) {
            // the default port
        } else if (rest[close + 1] == ':') {
            port = rest.substr(close + 2);
        } else {
            refuse(uri, "text after the bracket");
        }
    } else {
        const auto colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (colon != npos) port = rest.substr(colon + 1);
        if (host.find(':') != npos) {
            refuse(uri, ipv6_literal(rest) ? "an IPv6 address needs brackets: [::1]:1883"
                                           : "a ':' too many: a user and password need '@' before the host");
        }
        if (host.size() > max_host_bytes) refuse(uri, "the host name is longer than 253 bytes");
        if (!plausible_host(host)) refuse(uri, "the host is neither a host name nor an IP address");
    }
    if (host.empty()) refuse(uri, "no host");
    if (!valid_port(port)) refuse(uri, "the port is not a number from 1 to 65535");
    a.host = host;
    a.port = port;
}

// The password in $CREDENTIALS_DIRECTORY/mqtt-password, less one line end.
bool read_password_file(Secret& password) {
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir) return false;
    const std::string path = std::string(dir) + "/" + password_file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw MqttError(fmt::format("Cannot read the MQTT password from {}: {}", path, std::strerror(errno)),
                        MqttError::Code::bad_login);
    }
    password.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || password.size() + static_cast<std::size_t>(n) > 65535) {
            const int error = errno;
            ::close(fd);
            wipe(buffer, sizeof buffer);
            password.clear();
            throw MqttError(fmt::format("Cannot read the MQTT password from {}: {}", path,
                                        n < 0 ? std::strerror(error) : "longer than 65535 bytes"),
                            MqttError::Code::bad_login);
        }
        if (n == 0) break;
        password.append(buffer, static_cast<std::size_t>(n));  // a buffer that grows wipes the old one
    }
    ::close(fd);
    wipe(buffer, sizeof buffer);
    if (!password.empty() && password.view().back() == '\n') password.drop_back(1);
    if (!password.empty() && password.view().back() == '\r') password.drop_back(1);
    return true;
}

// Zeroes the stack below the caller's frame, where reading the address
// left bytes of it: registers that the dynamic linker's lazy binding spilled
// there held pieces of MQTT_BROKER.
[[gnu::noinline]] void wipe_stack_below() {
    char area[32 * 1024];
    wipe(area, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

}  // namespace

BrokerAddress parse_broker_address(std::string_view uri) {
    const Parts parts = split(uri);
    BrokerAddress a;
    std::string_view rest = uri.substr(parts.rest);
    std::string_view user_part;
    if (parts.at != npos) {
        user_part = uri.substr(parts.rest, parts.at - parts.rest);
        rest = uri.substr(parts.at + 1);
    }
    const auto colon = parts.colon == npos ? npos : parts.colon - parts.rest;
    a.uri = uri.substr(0, parts.rest);
    if (parts.at != npos) {
        a.uri += user_part.substr(0, colon);
        if (colon != npos) a.uri += ":***";
        a.uri += '@';
    }
    a.uri += rest;

    if (parts.scheme == "tcp" || parts.scheme == "mqtt") {
        a.kind = BrokerAddress::Kind::tcp;
    } else if (one_of(parts.scheme, tls_schemes)) {
        a.kind = BrokerAddress::Kind::tls;
    } else if (parts.scheme == "unix") {
        a.kind = BrokerAddress::Kind::unix_socket;
    } else {
        refuse(uri, "unknown scheme");
    }
    if (parts.at != npos) {
        if (!percent_decode(user_part.substr(0, colon), a.user))
            refuse(uri, "bad percent-encoding in the user name");
        if (colon != npos) {
            // Decoded into a buffer of its final size: none left behind.
            const auto raw = user_part.substr(colon + 1);
            a.password.reserve(raw.size());
            if (!percent_decode(raw, a.password)) refuse(uri, "bad percent-encoding in the password");
            a.has_password = true;
        }
        if (a.user.empty()) refuse(uri, "a user part without a user name");
        if (a.user.size() > 65535 || a.password.size() > 65535)
            refuse(uri, "a user name or password over 65535 bytes");
        if (!mqtt_utf8(a.user)) refuse(uri, "the user name is not UTF-8, or holds a zero byte");
    }

    if (a.kind == BrokerAddress::Kind::unix_socket) {
        a.path = rest;
        if (a.path.empty() || a.path[0] != '/') refuse(uri, "the socket's path must be absolute");
        if (a.path.size() >= sizeof(sockaddr_un{}.sun_path)) refuse(uri, "the socket's path is too long");
        return a;
    }
    parse_host_and_port(a, uri, rest, a.kind == BrokerAddress::Kind::tls ? "8883" : "1883");
    return a;
}

BrokerAddress broker_address_from_environment() {
    const char* env = std::getenv("MQTT_BROKER");
    const std::string_view uri = env && *env ? std::string_view(env) : default_broker;
    BrokerAddress a = parse_broker_address(uri);
    // A TLS file with a plain address means a missing 's', not a wish for
    // plain text.
    std::string* const files[] = {&a.ca_file, &a.cert_file, &a.key_file};
    for (std::size_t i = 0; i < std::size(tls_files); ++i) {
        const char* value = std::getenv(tls_files[i]);
        if (!value || !*value) continue;
        if (a.kind != BrokerAddress::Kind::tls)
            refuse(uri, fmt::format("{} is set, which only a mqtts:// address uses", tls_files[i]));
        *files[i] = value;
    }
    if (read_password_file(a.password)) {
        a.has_password = true;
        if (a.user.empty()) {
            throw MqttError(fmt::format("The MQTT password in $CREDENTIALS_DIRECTORY/{} needs a user name in "
                                        "the broker address '{}' (user@host)",
                                        password_file, a.uri),
                            MqttError::Code::bad_login);
        }
    }
    return a;
}

void hide_broker_password_in_environment() {
    wipe_stack_below();
    char* const value = std::getenv("MQTT_BROKER");
    if (!value) return;
    const std::size_t size = std::strlen(value);
    Parts parts;
    try {
        parts = split(std::string_view(value, size));
    } catch (const MqttError&) {
        return;  // refused: the client was never made
    }
    if (parts.colon == npos) return;
    const std::size_t from = parts.colon + 1;
    const std::size_t length = parts.at - from;
    if (length < 3) {
        std::memset(value + from, '*', length);
        return;
    }
    // "***" and the rest moved up behind it; the bytes freed at the end zeroed.
    std::memcpy(value + from, "***", 3);
    std::memmove(value + from + 3, value + parts.at, size - parts.at + 1);
    wipe(value + size + 1 - (length - 3), length - 3);
}

}  // namespace quorvel::mosquitto
