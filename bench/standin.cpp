// The ceiling to measure the service against: a bridge that answers every
// data message with exactly the service's publications (per control the
// marker, cleared, then the value) but parses nothing and keeps no state,
// writing MQTT straight to a socket with the small-packet delay off.
// The value is the text after the first "avg": of the payload.
//   esdg-standin PORT CONTROLS
#include "raw_mqtt.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: esdg-standin PORT CONTROLS\n");
        return 2;
    }
    const int controls = std::atoi(argv[2]);
    raw_mqtt::Client client(std::atoi(argv[1]), "esdg-standin");
    client.subscribe("/qv/bridge/thirdparty_data/+");
    const std::string_view data_prefix = "/qv/bridge/thirdparty_data/";
    std::string control;
    while (client.read([&](std::string_view topic, std::string_view payload, bool) {
        const auto device = topic.substr(data_prefix.size());
        std::string_view value = "0";
        auto v = payload.find("\"avg\":");
        if (v != std::string_view::npos) {
            v += 6;
            value = payload.substr(v, payload.find_first_of(",}", v) - v);
        }
        for (int c = 0; c < controls; ++c) {
            control.assign("/devices/").append(device).append("/controls/c").append(std::to_string(c));
            client.publish(control + "/meta/error", "", true);
            client.publish(control, value, true);
        }
    })) {
        client.flush();
    }
    return 0;
}
