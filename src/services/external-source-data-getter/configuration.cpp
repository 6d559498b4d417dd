#include "configuration.h"

#include "configuration_reader.h"
#include "registry.h"

#include <fmt/format.h>

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
    ConfigurationReading reading = read_configuration(payload);
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
