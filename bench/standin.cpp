// The ceiling to measure the service against: a bridge that answers every
// data message with exactly the service's publications (per control the
// marker, cleared, then the value) but parses nothing and keeps no state,
// writing MQTT 3.1.1 straight to a socket with the small-packet delay off.
// The value is the text after the first "avg": of the payload.
//   esdg-standin PORT CONTROLS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int fd = -1;
std::string in;   // unread bytes from the broker
std::string out;  // bytes to write at the end of each read

void put_length(std::string& s, std::size_t n) {
    do {
        unsigned char b = n % 128;
        n /= 128;
        if (n) b |= 0x80;
        s += static_cast<char>(b);
    } while (n);
}

void put_string(std::string& s, std::string_view v) {
    s += static_cast<char>(v.size() >> 8);
    s += static_cast<char>(v.size() & 0xFF);
    s += v;
}

void publish(std::string_view topic, std::string_view payload) {
    out += static_cast<char>(0x31);  // PUBLISH, QoS 0, retain
    put_length(out, 2 + topic.size() + payload.size());
    put_string(out, topic);
    out += payload;
}

void flush() {
    std::size_t done = 0;
    while (done < out.size()) {
        const auto n = ::write(fd, out.data() + done, out.size() - done);
        if (n <= 0) std::exit(1);
        done += static_cast<std::size_t>(n);
    }
    out.clear();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: esdg-standin PORT CONTROLS\n");
        return 2;
    }
    const int controls = std::atoi(argv[2]);
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::string connect_body;
    put_string(connect_body, "MQTT");
    connect_body += '\x04';  // 3.1.1
    connect_body += '\x02';  // clean session
    connect_body += std::string("\x00\x3c", 2);
    put_string(connect_body, "esdg-standin");
    out += '\x10';
    put_length(out, connect_body.size());
    out += connect_body;
    std::string sub_body("\x00\x01", 2);
    put_string(sub_body, "/qv/bridge/thirdparty_data/+");
    sub_body += '\x00';
    out += '\x82';
    put_length(out, sub_body.size());
    out += sub_body;
    flush();

    const std::string_view data_prefix = "/qv/bridge/thirdparty_data/";
    char buf[65536];
    for (;;) {
        const auto n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return 0;
        in.append(buf, static_cast<std::size_t>(n));
        std::size_t pos = 0;
        for (;;) {
            // Fixed header and remaining length.
            if (in.size() - pos < 2) break;
            std::size_t len = 0, mult = 1, i = pos + 1;
            bool complete = false;
            while (i < in.size()) {
                const auto b = static_cast<unsigned char>(in[i++]);
                len += (b & 0x7F) * mult;
                mult *= 128;
                if (!(b & 0x80)) {
                    complete = true;
                    break;
                }
            }
            if (!complete || in.size() - i < len) break;
            const auto type = static_cast<unsigned char>(in[pos]) >> 4;
            if (type == 3) {  // PUBLISH (QoS 0 from the subscription)
                const std::string_view body(in.data() + i, len);
                const std::size_t tlen =
                    (static_cast<unsigned char>(body[0]) << 8) | static_cast<unsigned char>(body[1]);
                const auto topic = body.substr(2, tlen);
                const auto payload = body.substr(2 + tlen);
                const auto device = topic.substr(data_prefix.size());
                auto v = payload.find("\"avg\":");
                std::string_view value = "0";
                if (v != std::string_view::npos) {
                    v += 6;
                    auto e = payload.find_first_of(",}", v);
                    value = payload.substr(v, e - v);
                }
                for (int c = 0; c < controls; ++c) {
                    std::string control = "/devices/";
                    control += device;
                    control += "/controls/c" + std::to_string(c);
                    publish(control + "/meta/error", "");
                    publish(control, value);
                }
            }
            pos = i + len;
        }
        in.erase(0, pos);
        flush();
    }
}
