#include "mqtt-wrapper/io/hold_queue.h"

#include "mqtt-wrapper/common/durations.h"
#include "mqtt-wrapper/common/p7.h"
#include "mqtt-wrapper/core/topic_rules.h"

#include <algorithm>
#include <utility>

namespace quorvel::mosquitto {

namespace {

using steady = std::chrono::steady_clock;

constexpr auto drop_report_interval = std::chrono::seconds(10);
constexpr auto replace_report_interval = std::chrono::minutes(1);
constexpr auto replaced_lately_for = std::chrono::seconds(10);
const char* const source_file = "src/mqtt-wrapper/io/hold_queue";

std::size_t size_of(const MqttMessage& m) {
    return m.payload.size() + m.topic.size();
}

}  // namespace

// Without the lock: the key that a caller's function gives the message,
// behind its topic, or empty.
std::string HoldQueue::key_of(const MqttMessage& m) const {
    for (const auto& [filter, key] : keys_) {
        if (!topic_matches(filter, m.topic)) continue;
        std::string out;
        try {
            if (!key(m, out)) return {};
        } catch (...) {
            return {};  // no key: the message is kept whatever comes after it
        }
        return m.topic + '\0' + out;
    }
    return {};
}

HoldQueue::Report HoldQueue::push(std::vector<MqttMessage>& arrived) {
    if (arrived.empty()) return {};
    arrived_keys_.assign(arrived.size(), std::string());
    // Keys only where the queue reaches half its bound with these.
    if (!keys_.empty()) {
        std::size_t arriving_bytes = 0;
        for (const auto& m : arrived) arriving_bytes += size_of(m);
        bool half = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            half = held_.size() + arrived.size() >= max_messages_ / 2 ||
                   bytes_ + arriving_bytes >= max_bytes_ / 2;
        }
        if (half) {
            for (std::size_t i = 0; i < arrived.size(); ++i) arrived_keys_[i] = key_of(arrived[i]);
        }
    }
    Report report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool replaced = false;
        for (std::size_t i = 0; i < arrived.size(); ++i) {
            const bool supersede = superseding();
            auto& key = arrived_keys_[i];
            if (supersede && !key.empty()) {
                const auto older = latest_.find(key);
                if (older != latest_.end()) {
                    remove(older->second);
                    ++replaced_unreported_;
                    replaced = true;
                }
            }
            bytes_ += size_of(arrived[i]);
            held_.push_back({std::move(arrived[i]), supersede ? std::move(key) : std::string()});
            const auto at = std::prev(held_.end());
            if (!at->key.empty()) latest_[at->key] = at;
        }
        while (held_.size() > 1 && (held_.size() > max_messages_ || bytes_ > max_bytes_)) {
            remove(held_.begin());
            ++dropped_unreported_;
        }
        if (replaced) last_replaced_ = steady::now();
        report = take_report();
    }
    arrived.clear();
    cv_.notify_all();
    return report;
}

bool HoldQueue::superseding() const {
    return held_.size() >= max_messages_ / 2 || bytes_ >= max_bytes_ / 2;
}

void HoldQueue::unindex(Iterator at) {
    if (at->key.empty()) return;
    const auto indexed = latest_.find(at->key);
    if (indexed != latest_.end() && indexed->second == at) latest_.erase(indexed);
}

void HoldQueue::remove(Iterator at) {
    unindex(at);
    bytes_ -= size_of(at->message);
    held_.erase(at);
}

Room HoldQueue::room() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {max_messages_ - std::min(held_.size(), max_messages_), max_bytes_ - std::min(bytes_, max_bytes_),
            !held_.empty()};
}

bool HoldQueue::full() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size() >= max_messages_ || bytes_ >= max_bytes_;
}

void HoldQueue::reader_waits() {
    std::lock_guard<std::mutex> lock(mutex_);
    reader_waits_ = true;
}

bool HoldQueue::contains(const std::string& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find(filter) != held_.end();
}

HoldQueue::Taken HoldQueue::take(const std::string& filter, MqttMessage& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = find(filter);
    if (found == held_.end()) return {};
    unindex(found);
    bytes_ -= size_of(found->message);
    message = std::move(found->message);
    held_.erase(found);
    return {true, std::exchange(reader_waits_, false), !held_.empty(), take_report()};
}

HoldQueue::Iterator HoldQueue::find(const std::string& filter) {
    return std::find_if(held_.begin(), held_.end(),
                        [&](const Held& h) { return topic_matches(filter, h.message.topic); });
}

// Called with the lock held: the counts to report now, where one is due.
HoldQueue::Report HoldQueue::take_report() {
    Report report;
    if (dropped_unreported_ == 0 && replaced_unreported_ == 0) return report;  // no clock read per message
    const auto now = steady::now();
    if (dropped_unreported_ > 0 && (held_.empty() || last_drop_report_ == steady::time_point{} ||
                                    now - last_drop_report_ >= drop_report_interval)) {
        last_drop_report_ = now;
        report.dropped = std::exchange(dropped_unreported_, 0);
    }
    if (replaced_unreported_ > 0 && (last_replace_report_ == steady::time_point{} ||
                                     now - last_replace_report_ >= replace_report_interval)) {
        report.replaced_over =
            last_replace_report_ == steady::time_point{} ? steady::duration{} : now - last_replace_report_;
        last_replace_report_ = now;
        report.replaced = std::exchange(replaced_unreported_, 0);
    }
    return report;
}

void HoldQueue::notify() {
    { std::lock_guard<std::mutex> lock(mutex_); }  // a waiter is either waiting or yet to test its predicate
    cv_.notify_all();
}

void HoldQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

bool HoldQueue::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void HoldQueue::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++callers_;
}

void HoldQueue::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --callers_;
    cv_.notify_all();  // under the lock: the destructor may be waiting to free the queue
}

void HoldQueue::wait_until_empty_of_callers() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return callers_ == 0; });
}

bool HoldQueue::replaced_lately() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_replaced_ != steady::time_point{} && steady::now() - last_replaced_ < replaced_lately_for;
}

void HoldQueue::log(const Report& report) {
    if (report.dropped > 0) {
        MQTT_LOG(P7::WARNING, "Receive queue full: dropped %zu oldest messages", report.dropped);
    }
    if (report.replaced == 0) return;
    if (report.replaced_over == steady::duration{}) {
        MQTT_LOG(P7::WARNING,
                 "Messages come faster than they are taken: newer ones replace held ones that "
                 "they supersede");
    } else {
        MQTT_LOG(P7::WARNING,
                 "Replaced %zu held messages by newer ones in the last %s: messages come "
                 "faster than they are taken",
                 report.replaced, describe_duration(report.replaced_over).c_str());
    }
}

}  // namespace quorvel::mosquitto
