// Any data payload against a fixed registry: no crash, no undefined
// behaviour, the lock free afterwards, and for every control handled its
// marker ("r" or empty) right before its value.
#include "clock.h"
#include "data_message.h"
#include "fuzz_invariants.h"

#include "mqtt-wrapper/p7.h"

#include <cstdint>
#include <exception>
#include <vector>

namespace {

long fixed_now() {
    return 1765000000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static quorvel::mosquitto::MqttAsyncWrapper client("fuzz");
    static const bool once = [] {
        quorvel::set_clock_for_testing(&fixed_now, nullptr);
        P7::getTrace()->SetVerbosity(P7::CRITICAL);
        return true;
    }();
    (void)once;
    fake_mqtt::reset();
    quorvel::abroad_ios = {{"io", {{"a", 0}, {"b", 0}, {"temp", 0}}}, {"x", {{"1", 0}}}, {"", {{"", 0}}}};
    try {
        quorvel::handle_data_message(client, {"/t", std::vector<unsigned char>(data, data + size)});
    } catch (const std::exception&) {
        // the loop logs it and goes on
    }
    fuzz::check_common_invariants();
    const auto sends = fake_mqtt::sends();
    if (sends.size() % 2 != 0) fuzz::violated("a marker without its value");
    for (std::size_t i = 0; i < sends.size(); i += 2) {
        const auto& marker = sends[i];
        const auto& value = sends[i + 1];
        if (marker.topic != value.topic + "/meta/error")
            fuzz::violated("marker and value disagree: " + marker.topic);
        const bool stale = marker.op == fake_mqtt::Op::SendString && marker.payload == "r";
        const bool fresh = marker.op == fake_mqtt::Op::SendBytes && marker.payload.empty();
        if (!stale && !fresh) fuzz::violated("bad marker payload: " + marker.payload);
        if (value.op != fake_mqtt::Op::SendString || value.payload.empty()) fuzz::violated("bad value");
    }
    return 0;
}
