#include "configuration.h"

#include "json_numbers.h"
#include "registry.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <exception>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using mosquitto::Qos;
using nlohmann::json;

constexpr int supported_version = 2;

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

// What the document asks for, up to its first fault: the remote ios to
// announce, whether each was read whole (only those are registered), and
// the fault, raised once what came before it is announced.
struct Reading {
    announcement_list ios;
    std::vector<bool> whole;
    std::exception_ptr fault;
};

void read_remote_io(const json& remote_io, Reading& out) {
    out.ios.push_back({member(remote_io, "id").get<std::string>(), {}, {}});
    out.whole.push_back(false);
    for (const auto& type : member(remote_io, "types")) out.ios.back().add(type.get<std::string>());
    out.ios.back().names.shrink_to_fit();
    out.ios.back().ends.shrink_to_fit();
    out.whole.back() = true;
}

// The document lives only in here: it is gone before anything is announced,
// so the registry and the announcements reuse its memory.
Reading read_configuration(const std::vector<unsigned char>& payload) {
    Reading out;
    json document = json::parse(payload.begin(), payload.end());
    if (!version_is(document, supported_version)) return out;
    try {
        // Arrays give their elements, objects their values in key order,
        // null (also a missing member) nothing, any other value itself.
        for (const json& remote_io : document["remote_ios"]) read_remote_io(remote_io, out);
    } catch (...) {
        out.fault = std::current_exception();
    }
    return out;
}

control_table controls_of(const announced_io& io) {
    std::vector<control_table::value_type> controls;
    controls.reserve(io.count());
    for (std::size_t i = 0; i < io.count(); ++i) controls.emplace_back(std::string(io.name(i)), 0);
    return control_table(std::move(controls));  // a name listed twice is one control
}

}  // namespace

void announce(MqttAsyncWrapper& client, const announced_io& io) {
    client.Send(fmt::format(FMT_STRING("/devices/{}/meta/name"), io.id), io.id, Qos::AtMostOnce, true);
    for (std::size_t i = 0; i < io.count(); ++i) {
        const auto name = io.name(i);
        client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/type"), io.id, name), "value",
                    Qos::AtMostOnce, true);
        client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/readonly"), io.id, name), "1",
                    Qos::AtMostOnce, true);
        client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/order"), io.id, name),
                    fmt::format(FMT_STRING("{}"), i + 1), Qos::AtMostOnce, true);
    }
}

void apply_configuration(MqttAsyncWrapper& client, std::vector<unsigned char> payload) {
    Reading reading = read_configuration(payload);
    std::vector<unsigned char>().swap(payload);

    // A repeated id keeps the first entry (those already there included).
    std::vector<remote_io_registry::value_type> devices(std::make_move_iterator(abroad_ios.begin()),
                                                        std::make_move_iterator(abroad_ios.end()));
    const auto registered = [&] { abroad_ios = remote_io_registry(std::move(devices)); };
    try {
        for (std::size_t i = 0; i < reading.ios.size(); ++i) {
            auto& io = reading.ios[i];
            client.Subscribe(fmt::format(FMT_STRING("{}/{}"), "/qv/bridge/thirdparty_data", io.id),
                             Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
            announce(client, io);
            if (reading.whole[i]) devices.emplace_back(io.id, controls_of(io));
            announcements.push_back(std::move(io));
        }
    } catch (...) {
        registered();
        throw;
    }
    registered();
    if (reading.fault) std::rethrow_exception(reading.fault);
}

}  // namespace quorvel
