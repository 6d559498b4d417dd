// Any data payload against a fixed registry: no crash, no undefined
// behaviour, the lock free afterwards, for every control handled its marker
// ("r" or empty) right before its value, and the same publications, stored
// timestamps and failure as a straightforward handler that builds the whole
// document first; and the same supersede key as the reader gives.
#include "clock.h"
#include "data_message.h"
#include "data_reader.h"
#include "fuzz_invariants.h"
#include "json_numbers.h"
#include "tree.h"

#include "mqtt-wrapper/common/p7.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

std::int64_t fixed_now() {
    return 1765000000;
}

double reference_sum(json& control_value) {
    double sum = 0.0;
    for (const json& element : control_value["avg"]) {
        if (!element.is_number()) throw std::invalid_argument("not a number");
        sum += element.get<double>();
    }
    return sum;
}

// The reference: parse into a document, then walk it.
void reference_handler(quorvel::mosquitto::MqttAsyncWrapper& client,
                       const std::vector<unsigned char>& payload) {
    json document = json::parse(payload);
    if (!quorvel::version_is(document, 1)) return;
    const auto id = document["io_id"].get<std::string>();
    const auto device = quorvel::abroad_ios.find(id);
    if (device == quorvel::abroad_ios.end()) return;
    const auto ts = quorvel::checked_integer<std::int64_t>(document["timestamp"]);
    if (!ts) throw std::out_of_range("timestamp");
    const bool stale = quorvel::is_stale(*ts, fixed_now());
    json& data = document["data"];
    for (auto member = data.begin(); member != data.end(); ++member) {
        const auto control = device->second.find(member.key());
        if (control == device->second.end()) continue;
        const double value = reference_sum(member.value());
        control->second.record(*ts, value);
        const auto topic = fmt::format("/devices/{}/controls/{}", id, member.key());
        quorvel::publish_error_marker(client, topic + "/meta/error", stale);
        client.Send(topic, fmt::format("{}", value), quorvel::mosquitto::Qos::AtMostOnce, true);
    }
}

// The reference key: the members of "data" as the reader gives them as they come.
bool reference_key(const std::vector<unsigned char>& payload, std::string& key) {
    static quorvel::DataReader reader;
    if (!reader.read(payload.data(), payload.data() + payload.size(), false)) return false;
    const auto integer = [](const std::optional<json>& v) {
        return v && (v->is_number() || v->is_boolean());
    };
    if (!integer(reader.version()) || quorvel::checked_integer<int>(*reader.version()) != 1) return false;
    if (!integer(reader.timestamp()) || !quorvel::checked_integer<std::int64_t>(*reader.timestamp()))
        return false;
    if (!reader.io_id() || !reader.io_id()->is_string()) return false;
    if (reader.data_shape() != quorvel::DataReader::DataShape::object) return false;
    key = reader.io_id()->get_ref<const std::string&>();
    for (const auto& reading : reader.controls()) {
        if (!reading.valid) return false;
        key += '\0';
        key += reading.name;
    }
    return true;
}

struct Outcome {
    std::vector<std::string> sends;
    quorvel::RemoteIoRegistry registry;
    bool failed = false;
};

template <class Handler>
Outcome run(Handler handler) {
    fake_mqtt::reset();
    quorvel::abroad_ios = {{"io", {{"a", 0}, {"b", 0}, {"temp", 0}}}, {"x", {{"1", 0}}}, {"", {{"", 0}}}};
    Outcome out;
    try {
        handler();
    } catch (const std::exception&) {
        out.failed = true;  // the loop logs it and goes on
    }
    fuzz::check_common_invariants();
    for (const auto& c : fake_mqtt::sends()) out.sends.push_back(fake_mqtt::describe(c));
    out.registry = quorvel::abroad_ios;
    return out;
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
    const std::vector<unsigned char> payload(data, data + size);
    const Outcome expected = run([&] { reference_handler(client, payload); });
    const Outcome got = run([&] { quorvel::handle_data_message(client, {"/t", payload}); });
    if (got.failed != expected.failed)
        fuzz::violated(got.failed ? "fails where the reference does not" : "fails too little");
    if (got.sends != expected.sends) fuzz::violated("publications differ from the reference");
    if (got.registry != expected.registry) fuzz::violated("stored readings differ from the reference");

    std::string key, expected_key;
    const bool keyed = quorvel::data_message_key({"/t", payload}, key);
    if (keyed != reference_key(payload, expected_key))
        fuzz::violated(keyed ? "a key where the reader gives none" : "no key where the reader gives one");
    if (keyed && key != expected_key) fuzz::violated("the key differs from the reader's");
    // A key only for a message the handler takes whole.
    if (keyed && expected.failed) fuzz::violated("a key for a message the handler fails");

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
