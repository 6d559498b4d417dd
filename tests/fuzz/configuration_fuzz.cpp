// Any configuration payload: no crash, no undefined behaviour, and every
// publication and subscription where the device tree wants it.
#include "configuration.h"
#include "fuzz_invariants.h"

#include "mqtt-wrapper/p7.h"

#include <cstdint>
#include <exception>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static quorvel::mosquitto::MqttAsyncWrapper client("fuzz");
    fake_mqtt::reset();
    quorvel::abroad_ios.clear();
    try {
        quorvel::apply_configuration(client, std::vector<unsigned char>(data, data + size));
    } catch (const std::exception&) {
        // every fault of the document ends the bootstrap; main logs it
    }
    fuzz::check_common_invariants();
    for (const auto& c : fake_mqtt::calls()) {
        if (c.op == fake_mqtt::Op::Subscribe && c.topic.rfind("/qv/bridge/thirdparty_data/", 0) != 0) {
            fuzz::violated("subscription outside the data topics: " + c.topic);
        }
    }
    for (const auto& [id, controls] : quorvel::abroad_ios) {
        for (const auto& [name, ts] : controls) {
            if (ts != 0) fuzz::violated("a configured control starts with timestamp " + std::to_string(ts));
        }
    }
    return 0;
}
