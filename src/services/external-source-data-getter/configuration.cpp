#include "configuration.h"

#include "configuration_reader.h"
#include "registry.h"
#include "trace.h"
#include "tree.h"

#include "mqtt-wrapper/common/p7.h"

#include <fmt/format.h>

#include <exception>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

namespace {

using mosquitto::MqttAsyncWrapper;
using mosquitto::Qos;

const char* const source_file = "src/services/external-source-data-getter/configuration";

// Brokers that route by keys of their own rewrite these in topics: one
// maps '.' to '/' and '*' to '+'. mosquitto keeps them.
constexpr const char* rewritten_characters = ".*";
constexpr std::size_t named_at_most = 10;

// Tells, for the first few names that hold one, which character a broker
// may rewrite: a device whose topic comes back rewritten gets no reading.
class RewrittenNames {
public:
    void check(const AnnouncedIo& io) {
        note(io.id(), nullptr);
        for (std::size_t i = 0; i < io.count(); ++i) note(io.name(i), &io);
    }

    ~RewrittenNames() {
        if (count_ <= named_at_most) return;
        SERVICE_TRACE(WARNING, "apply_configuration",
                      "Ещё имён с символами, которые некоторые брокеры меняют в топиках: %zu",
                      count_ - named_at_most);
    }

private:
    void note(std::string_view name, const AnnouncedIo* device) {
        const auto at = name.find_first_of(rewritten_characters);
        if (at == std::string_view::npos || ++count_ > named_at_most) return;
        const std::string shown(name);
        const std::string text =
            device ? fmt::format(FMT_STRING("Контрол '{}' устройства '{}'"), shown, device->id())
                   : fmt::format(FMT_STRING("Устройство '{}'"), shown);
        SERVICE_TRACE(WARNING, "apply_configuration",
                      "%s: символ '%c' в имени некоторые брокеры меняют в топиках ('.' на '/', "
                      "'*' на '+', как RabbitMQ); через такой брокер %s",
                      text.c_str(), name[at],
                      device ? "контрол виден под другим топиком" : "данные устройства не дойдут");
    }

    std::size_t count_ = 0;
};

}  // namespace

void apply_configuration(MqttAsyncWrapper& client, std::vector<unsigned char> payload) {
    ConfigurationReading reading = read_configuration(payload);
    std::vector<unsigned char>().swap(payload);
    std::size_t announced = 0;

    // A repeated id keeps the first entry (those already there included).
    const auto registered = [&] {
        reading.whole.resize(announced);
        auto built = RemoteIoRegistry::built(abroad_ios, reading.ios, reading.whole);
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
    RewrittenNames rewritten;
    try {
        for (; announced < reading.ios.size(); ++announced) {
            const AnnouncedIo io = reading.ios[announced];
            rewritten.check(io);
            client.Subscribe(fmt::format(FMT_STRING("{}/{}"), "/qv/bridge/thirdparty_data", io.id()),
                             Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
            try {
                announce_io(client, io, paced);
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
        SERVICE_TRACE(ERROR, "apply_configuration",
                      "Не удалось объявить устройств: %zu (%s); дерево будет опубликовано заново",
                      unannounced, refusal.c_str());
    }
    if (reading.fault) std::rethrow_exception(reading.fault);
}

}  // namespace quorvel
