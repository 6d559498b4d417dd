#include "configuration.h"

#include "configuration_reader.h"
#include "control_publish.h"
#include "registry.h"

#include "mqtt-wrapper/p7.h"

#include <fmt/format.h>

#include <exception>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using mosquitto::Qos;

const char* const source_file = "src/services/external-source-data-getter/configuration";

// A remote io announced, at the link's pace: paced counts the bytes
// announced since the client last had room.
void announce(MqttAsyncWrapper& client, const announced_io& io, std::size_t& paced) {
    announce_name(client, io);
    for (std::size_t i = 0; i < io.count(); ++i) {
        announce_control(client, io, i);
        paced += announced_bytes(io, i);
        if (paced < TreePass::slice_bytes) continue;
        paced = 0;
        client.WaitForOutputRoom();
    }
}

}  // namespace

void apply_configuration(MqttAsyncWrapper& client, std::vector<unsigned char> payload) {
    ConfigurationReading reading = read_configuration(payload);
    std::vector<unsigned char>().swap(payload);
    std::size_t announced = 0;

    // A repeated id keeps the first entry (those already there included).
    const auto registered = [&] {
        reading.whole.resize(announced);
        auto built = remote_io_registry::built(abroad_ios, reading.ios, reading.whole);
        std::lock_guard<fair_mutex> lock(m_mutex);  // the status line counts them
        abroad_ios = std::move(built);
    };
    // The first configuration's list becomes the announcements, cut to
    // those announced; a later one's are added to them.
    const bool first = announcements.empty();
    const auto listed = [&] {
        registered();
        if (!first) return;
        reading.ios.resize(announced);
        announcements = std::move(reading.ios);
    };
    std::size_t unannounced = 0;  // refused by a full buffer: the tree is owed
    std::string refusal;
    std::size_t paced = 0;
    try {
        for (; announced < reading.ios.size(); ++announced) {
            const announced_io io = reading.ios[announced];
            client.Subscribe(fmt::format(FMT_STRING("{}/{}"), "/qv/bridge/thirdparty_data", io.id()),
                             Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
            try {
                announce(client, io, paced);
            } catch (const std::exception& e) {
                if (!owe_tree_if_refused(e)) throw;
                if (unannounced++ == 0) refusal = e.what();
            }
            if (!first) announcements.push_back(io);
        }
    } catch (...) {
        listed();
        throw;
    }
    listed();
    if (unannounced > 0) {
        P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "apply_configuration",
                              "Не удалось объявить устройств: %zu (%s); дерево будет опубликовано заново",
                              unannounced, refusal.c_str());
    }
    if (reading.fault) std::rethrow_exception(reading.fault);
}

}  // namespace quorvel
