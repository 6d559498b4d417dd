#include "configuration.h"

#include "json_numbers.h"
#include "registry.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <utility>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using mosquitto::Qos;
using nlohmann::json;

constexpr int supported_version = 2;

// Kept, to be made again on every new connection.
void publish(MqttAsyncWrapper& client, std::string topic, std::string payload) {
    client.Send(topic, payload, Qos::AtMostOnce, true);
    announcements.emplace_back(std::move(topic), std::move(payload));
}

// A member of a remote io. Non-objects raise the library's type error 305;
// a missing member is an error of its own, never a lookup of nothing.
const json& member(const json& remote_io, const char* key) {
    if (!remote_io.is_object()) return remote_io[key];
    const auto it = remote_io.find(key);
    if (it == remote_io.end()) {
        throw std::runtime_error(fmt::format("В конфигурации у remote io нет ключа \"{}\"", key));
    }
    return *it;
}

void announce(MqttAsyncWrapper& client, const json& remote_io) {
    const auto id = member(remote_io, "id").get<std::string>();
    client.Subscribe(fmt::format(FMT_STRING("{}/{}"), "/qv/bridge/thirdparty_data", id), Qos::AtMostOnce,
                     &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    publish(client, fmt::format(FMT_STRING("/devices/{}/meta/name"), id), id);

    control_table controls;
    int order = 1;
    for (const auto& type : member(remote_io, "types")) {
        const auto name = type.get<std::string>();
        controls.emplace(name, 0);
        publish(client, fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/type"), id, name), "value");
        publish(client, fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/readonly"), id, name), "1");
        publish(client, fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/order"), id, name),
                fmt::format(FMT_STRING("{}"), order));
        ++order;
    }
    abroad_ios.emplace(id, std::move(controls));  // a repeated id keeps the first entry
}

}  // namespace

void apply_configuration(MqttAsyncWrapper& client, const std::vector<unsigned char>& payload) {
    const std::string text(payload.begin(), payload.end());
    json document = json::parse(text);
    if (!version_is(document, supported_version)) return;
    // Arrays give their elements, objects their values in key order, null
    // (also a missing member) nothing, any other value itself.
    for (const json& remote_io : document["remote_ios"]) announce(client, remote_io);
}

}  // namespace quorvel
