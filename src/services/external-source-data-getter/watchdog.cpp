#include "watchdog.h"

#include "clock.h"
#include "control_publish.h"
#include "registry.h"
#include "republisher.h"

#include "mqtt-wrapper/common/p7.h"

#include <exception>
#include <mutex>

namespace quorvel {

namespace {

constexpr unsigned start_delay_s = 5;
constexpr unsigned period_s = 90;
const char* const source_file = "src/services/external-source-data-getter/watchdog";

}  // namespace

void sweep_markers(mosquitto::MqttAsyncWrapper& client) {
    TreePass pass(client);
    pass.markers(current_time(), false);  // the clock read with the lock held
    pass.finish("маркеров");
}

void sync_timeouts(std::shared_ptr<mosquitto::MqttAsyncWrapper> client) {
    sleep_seconds(start_delay_s);
    for (;;) {
        try {
            if (!republish_if_owed(*client)) sweep_markers(*client);
        } catch (const std::exception& e) {  // out of memory at worst; try again next period
            P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "sync_timeouts", "%s",
                                  e.what());
        }
        sleep_seconds(period_s);
    }
}

}  // namespace quorvel
