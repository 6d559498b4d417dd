#include "tree.h"

#include "clock.h"
#include "registry.h"
#include "trace.h"

#include "mqtt-wrapper/common/p7.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <vector>

namespace quorvel {

namespace {

const char* const source_file = "src/services/external-source-data-getter/tree";
const std::string stale_marker = "r";
const std::vector<unsigned char> fresh_marker;

constexpr std::chrono::seconds start_delay{5};
constexpr std::chrono::seconds period{90};

// The tree's state, atomic, so that the client's thread can count a
// connection without a lock: connections made, those the tree was
// published for (written by the bootstrap, then by the watchdog alone),
// and whether a refusal owes it.
std::atomic<unsigned long> connections_made{0};
std::atomic<unsigned long> connections_published{0};
std::atomic<bool> tree_owed{false};

bool connection_came() {
    return connections_made.load() != connections_published.load();
}

// A link that keeps dropping republishes every few seconds: one record a
// minute at most, with the count of those not told. Under m_mutex (the
// last slice of a pass).
constexpr std::int64_t told_at_most_every_s = 60;
std::int64_t last_told = 0;
unsigned long untold = 0;

void announce_name(mosquitto::MqttAsyncWrapper& client, const AnnouncedIo& io) {
    client.Send(fmt::format(FMT_STRING("/devices/{}/meta/name"), io.id()), std::string(io.id()),
                mosquitto::Qos::AtMostOnce, true);
}

void announce_control(mosquitto::MqttAsyncWrapper& client, const AnnouncedIo& io, std::size_t i) {
    const auto name = io.name(i);
    client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/type"), io.id(), name), "value",
                mosquitto::Qos::AtMostOnce, true);
    client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/readonly"), io.id(), name), "1",
                mosquitto::Qos::AtMostOnce, true);
    client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/order"), io.id(), name),
                fmt::format(FMT_STRING("{}"), i + 1), mosquitto::Qos::AtMostOnce, true);
}

// About how many bytes the announcement of a control takes, for pacing.
std::size_t announced_bytes(const AnnouncedIo& io, std::size_t i) {
    return 3 * (io.id().size() + io.name(i).size() + 40);
}

}  // namespace

void announce_io(mosquitto::MqttAsyncWrapper& client, const AnnouncedIo& io, std::size_t& paced) {
    announce_name(client, io);
    for (std::size_t i = 0; i < io.count(); ++i) {
        announce_control(client, io, i);
        paced += announced_bytes(io, i);
        if (paced < TreePass::slice_bytes) continue;
        paced = 0;
        client.WaitForOutputRoom();
    }
}

void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale) {
    if (stale) {
        client.Send(topic, stale_marker, mosquitto::Qos::AtMostOnce, true);
    } else {
        client.Send(topic, fresh_marker, mosquitto::Qos::AtMostOnce, true);
    }
}

void control_topic(std::string& topic, std::string_view id, std::string_view name) {
    topic.clear();
    fmt::format_to(std::back_inserter(topic), FMT_STRING("/devices/{}/controls/{}"), id, name);
}

void publish_value(mosquitto::MqttAsyncWrapper& client, const std::string& topic, double value) {
    thread_local std::string text;  // keeps its buffer between values
    text.clear();
    fmt::format_to(std::back_inserter(text), FMT_STRING("{}"), value);
    client.Send(topic, text, mosquitto::Qos::AtMostOnce, true);
}

// The failed publications of one pass over the tree, written as one record
// at its end: a broker away long enough to fill the buffer fails them all.
// Its reason is the first failure's, or the first refusal's, which owes the
// tree.
class TreePass::Failures {
public:
    void add(const char* what, const std::string& topic, const std::exception& e) {
        const bool refused = owe_tree_if_refused(e);
        if (count_++ > 0 && (refused_ || !refused)) return;
        refused_ = refused;
        what_ = what;
        topic_ = topic;
        reason_ = e.what();
    }

    void log(const char* kinds, std::size_t attempted) const {
        if (count_ == 0) return;
        if (count_ == 1) {
            SERVICE_TRACE(ERROR, "sync_timeouts", "Не удалось опубликовать %s '%s': %s", what_,
                          topic_.c_str(), reason_.c_str());
            return;
        }
        SERVICE_TRACE(ERROR, "sync_timeouts", "Не удалось опубликовать %s: %zu из %zu (%s)%s", kinds, count_,
                      attempted, reason_.c_str(), refused_ ? "; дерево будет опубликовано заново" : "");
    }

private:
    std::size_t count_ = 0;
    bool refused_ = false;
    const char* what_ = "";
    std::string topic_;
    std::string reason_;
};

TreePass::TreePass(mosquitto::MqttAsyncWrapper& client)
    : client_(client), lock_(m_mutex), failures_(std::make_unique<Failures>()) {}

TreePass::~TreePass() = default;

bool TreePass::next(std::size_t bytes) {
    slice_bytes_ += bytes;
    if (++in_slice_ < slice_controls && slice_bytes_ < slice_bytes) return true;
    in_slice_ = 0;
    slice_bytes_ = 0;
    lock_.unlock();  // whoever waits goes first: the lock is granted in order
    if (connection_came()) return false;
    client_.WaitForOutputRoom();  // at the link's pace, without the lock
    lock_.lock();
    return true;
}

bool TreePass::announce() {
    for (std::size_t n = 0; n < announcements.size(); ++n) {
        const AnnouncedIo io = announcements[n];
        announce_name(client_, io);
        for (std::size_t i = 0; i < io.count(); ++i) {
            announce_control(client_, io, i);
            if (!next(announced_bytes(io, i))) return false;
        }
    }
    return true;
}

bool TreePass::markers(std::int64_t now, bool with_values) {
    std::string topic;
    for (const auto& [id, controls] : abroad_ios) {
        for (const auto& [name, control] : controls) {
            control_topic(topic, id, name);
            topic.append(marker_suffix);
            ++attempted_;
            try {
                publish_error_marker(client_, topic, is_stale(control.timestamp, now));
                if (with_values && control.has_value()) {
                    topic.resize(topic.size() - marker_suffix.size());
                    ++attempted_;
                    try {
                        publish_value(client_, topic, control.value());
                    } catch (const std::exception& e) {
                        failures_->add("значение", topic, e);
                    }
                }
            } catch (const std::exception& e) {
                failures_->add("маркер", topic, e);  // its value must not stand without its marker
            }
            if (!next(2 * topic.size() + 40)) return false;
        }
    }
    return true;
}

void TreePass::finish(const char* kinds) {
    failures_->log(kinds, attempted_);
}

void sweep_markers(mosquitto::MqttAsyncWrapper& client) {
    TreePass pass(client);
    // The clock read with the lock held; a sweep a connection ended is not told.
    if (pass.markers(current_time(), false)) pass.finish("маркеров");
}

bool owe_tree_if_refused(const std::exception& e) {
    const auto* refused = dynamic_cast<const mosquitto::MqttError*>(&e);
    if (!refused || refused->code() != mosquitto::MqttError::Code::buffer_full) return false;
    if (!tree_owed.exchange(true)) wake_waiter();
    return true;
}

bool take_owed_tree() {
    return tree_owed.exchange(false);
}

void note_connection() {
    ++connections_made;
    wake_waiter();
}

unsigned long connections_so_far() {
    return connections_made.load();
}

void tree_sent_for(unsigned long connections) {
    connections_published = connections;
}

namespace {

// The whole tree, in slices, and one record of it, unless a connection
// ends it early.
void republish(mosquitto::MqttAsyncWrapper& client, const char* why) {
    try {
        TreePass pass(client);
        if (!pass.announce()) return;
        const auto now = current_time();
        if (!pass.markers(now, true)) return;
        pass.finish("маркеров и значений");
        if (last_told != 0 && now >= last_told && now - last_told < told_at_most_every_s) {
            ++untold;
            return;
        }
        const std::string more = untold ? fmt::format(" (и ещё {} раз с прошлой записи)", untold) : "";
        SERVICE_TRACE(INFO, "republish", "Дерево устройств опубликовано заново %s%s", why, more.c_str());
        last_told = now;
        untold = 0;
    } catch (const std::exception& e) {
        owe_tree_if_refused(e);
        SERVICE_TRACE(ERROR, "republish", "Не удалось заново опубликовать дерево устройств: %s", e.what());
    }
}

}  // namespace

bool republish_if_due(mosquitto::MqttAsyncWrapper& client) {
    if (!connection_came()) return false;
    connections_published = connections_made.load();
    take_owed_tree();  // this publishes all of it
    republish(client, "после подключения к брокеру");
    return true;
}

bool republish_if_owed(mosquitto::MqttAsyncWrapper& client) {
    if (!take_owed_tree()) return false;
    republish(client, "после публикаций, не принятых клиентом");
    return true;
}

namespace {

// Woken by a refusal: the owed tree goes out once the output has room
// again, but at most once between two sweeps, so that a link that keeps
// stalling costs one whole tree per sweep, not one per stall. While the
// broker is away it waits for the connection, which publishes it.
bool republish_when_room(mosquitto::MqttAsyncWrapper& client) {
    if (!tree_owed || !client.IsConnected()) return false;
    client.WaitForOutputRoom();  // through a stall, until it drains or the connection goes
    if (connection_came() || !client.IsConnected()) return false;
    return republish_if_owed(client);
}

}  // namespace

void sync_timeouts(std::shared_ptr<mosquitto::MqttAsyncWrapper> client) {
    std::chrono::milliseconds sweep_in = start_delay;
    bool owed_tree_published = false;  // since the last sweep
    for (;;) {
        sweep_in = wait_or_wake(sweep_in);
        const bool sweep_due = sweep_in == sweep_in.zero();
        if (sweep_due) {
            sweep_in = period;
            owed_tree_published = false;
        }
        try {
            // The whole tree after a connection or for a refusal stands for the sweep.
            if (republish_if_due(*client)) continue;
            if (!sweep_due) {
                if (!owed_tree_published) owed_tree_published = republish_when_room(*client);
            } else if (!republish_if_owed(*client)) {
                sweep_markers(*client);
            }
        } catch (const std::exception& e) {  // out of memory at worst; try again next period
            SERVICE_TRACE(ERROR, "sync_timeouts", "%s", e.what());
        }
    }
}

}  // namespace quorvel
