// Any configuration payload: no crash, no undefined behaviour, every
// publication and subscription where the device tree wants it, and the same
// calls, registry and error as the reference, which walks a whole document.
#include "configuration.h"
#include "fuzz_invariants.h"
#include "json_numbers.h"

#include "mqtt-wrapper/common/p7.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using nlohmann::json;
using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::Qos;

const json& member(const json& remote_io, const char* key) {
    if (!remote_io.is_object()) return remote_io[key];
    const auto it = remote_io.find(key);
    if (it == remote_io.end()) {
        throw std::runtime_error(fmt::format("В конфигурации у remote io нет ключа \"{}\"", key));
    }
    return *it;
}

// The reference: parse into a document, then walk it.
void reference(MqttAsyncWrapper& client, const std::vector<unsigned char>& payload) {
    json document = json::parse(payload);
    if (!quorvel::version_is(document, 2)) return;
    for (const json& remote_io : document["remote_ios"]) {
        const auto id = member(remote_io, "id").get<std::string>();
        client.Subscribe("/qv/bridge/thirdparty_data/" + id, Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess,
                         &MqttAsyncWrapper::onFailure);
        client.Send("/devices/" + id + "/meta/name", id, Qos::AtMostOnce, true);
        std::vector<quorvel::ControlTable::value_type> controls;
        int order = 1;
        for (const auto& type : member(remote_io, "types")) {
            const auto name = type.get<std::string>();
            controls.emplace_back(name, 0);
            const auto base = "/devices/" + id + "/controls/" + name + "/meta/";
            client.Send(base + "type", std::string("value"), Qos::AtMostOnce, true);
            client.Send(base + "readonly", std::string("1"), Qos::AtMostOnce, true);
            client.Send(base + "order", std::to_string(order++), Qos::AtMostOnce, true);
        }
        quorvel::abroad_ios.emplace(id, quorvel::ControlTable(std::move(controls)));
    }
}

struct Outcome {
    std::vector<std::string> calls;
    quorvel::RemoteIoRegistry registry;
    std::string error;  // type and text
};

template <class Apply>
Outcome run(Apply apply) {
    fake_mqtt::reset();
    quorvel::abroad_ios.clear();
    quorvel::announcements.clear();
    Outcome out;
    try {
        apply();
    } catch (const std::exception& e) {  // every fault of the document ends the bootstrap; main logs it
        out.error = std::string(typeid(e).name()) + ": " + e.what();
    }
    fuzz::check_common_invariants();
    for (const auto& c : fake_mqtt::calls()) out.calls.push_back(fake_mqtt::describe(c));
    out.registry = quorvel::abroad_ios;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MqttAsyncWrapper client("fuzz");
    const std::vector<unsigned char> payload(data, data + size);
    const Outcome expected = run([&] { reference(client, payload); });
    const Outcome got = run([&] { quorvel::apply_configuration(client, payload); });
    if (got.error != expected.error)
        fuzz::violated("error '" + got.error + "', not '" + expected.error + "'");
    if (got.calls != expected.calls) fuzz::violated("calls differ from the reference");
    if (got.registry != expected.registry) fuzz::violated("registry differs from the reference");

    for (const auto& c : got.calls) {
        if (c.rfind("subscribe ", 0) == 0 && c.rfind("subscribe /qv/bridge/thirdparty_data/", 0) != 0)
            fuzz::violated("subscription outside the data topics: " + c);
    }
    for (const auto& [id, controls] : quorvel::abroad_ios) {
        for (const auto& [name, control] : controls) {
            if (!(control == quorvel::ControlState()))
                fuzz::violated("a configured control starts with a reading: " + std::string(name));
        }
    }
    return 0;
}
