#include "control_publish.h"

#include "registry.h"

#include "mqtt-wrapper/common/p7.h"

#include <fmt/format.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <vector>

namespace quorvel {

namespace {

const char* const source_file = "src/services/external-source-data-getter/watchdog";
const std::string stale_marker = "r";
const std::vector<unsigned char> fresh_marker;
std::atomic<bool> tree_owed{false};

}  // namespace

void announce_name(mosquitto::MqttAsyncWrapper& client, const announced_io& io) {
    client.Send(fmt::format(FMT_STRING("/devices/{}/meta/name"), io.id()), std::string(io.id()),
                mosquitto::Qos::AtMostOnce, true);
}

void announce_control(mosquitto::MqttAsyncWrapper& client, const announced_io& io, std::size_t i) {
    const auto name = io.name(i);
    client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/type"), io.id(), name), "value",
                mosquitto::Qos::AtMostOnce, true);
    client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/readonly"), io.id(), name), "1",
                mosquitto::Qos::AtMostOnce, true);
    client.Send(fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/order"), io.id(), name),
                fmt::format(FMT_STRING("{}"), i + 1), mosquitto::Qos::AtMostOnce, true);
}

void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale) {
    if (stale) {
        client.Send(topic, stale_marker, mosquitto::Qos::AtMostOnce, true);
    } else {
        client.Send(topic, fresh_marker, mosquitto::Qos::AtMostOnce, true);
    }
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
            P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "sync_timeouts",
                                  "Не удалось опубликовать %s '%s': %s", what_, topic_.c_str(),
                                  reason_.c_str());
            return;
        }
        P7::getTrace()->Trace(0, P7::ERROR, nullptr, __LINE__, source_file, "sync_timeouts",
                              "Не удалось опубликовать %s: %zu из %zu (%s)%s", kinds, count_, attempted,
                              reason_.c_str(), refused_ ? "; дерево будет опубликовано заново" : "");
    }

private:
    std::size_t count_ = 0;
    bool refused_ = false;
    const char* what_ = "";
    std::string topic_;
    std::string reason_;
};

TreePass::TreePass(mosquitto::MqttAsyncWrapper& client, std::function<bool()> abandon)
    : client_(client),
      abandon_(std::move(abandon)),
      lock_(m_mutex),
      failures_(std::make_unique<Failures>()) {}

TreePass::~TreePass() = default;

bool TreePass::next(std::size_t bytes) {
    slice_bytes_ += bytes;
    if (++in_slice_ < slice_controls && slice_bytes_ < slice_bytes) return true;
    in_slice_ = 0;
    slice_bytes_ = 0;
    lock_.unlock();  // whoever waits goes first: the lock is granted in order
    if (abandon_ && abandon_()) return false;
    client_.WaitForOutputRoom();  // at the link's pace, without the lock
    lock_.lock();
    return true;
}

bool TreePass::announce() {
    for (std::size_t n = 0; n < announcements.size(); ++n) {
        const announced_io io = announcements[n];
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
            topic = fmt::format(FMT_STRING("/devices/{}/controls/{}/meta/error"), id, name);
            ++attempted_;
            try {
                publish_error_marker(client_, topic, is_stale(control.timestamp, now));
                if (with_values && control.has_value()) {
                    topic.resize(topic.size() - std::strlen("/meta/error"));
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

bool owe_tree_if_refused(const std::exception& e) {
    const auto* refused = dynamic_cast<const mosquitto::MqttError*>(&e);
    if (!refused || refused->code() != mosquitto::MqttError::buffer_full) return false;
    tree_owed = true;
    return true;
}

bool take_owed_tree() {
    return tree_owed.exchange(false);
}

}  // namespace quorvel
