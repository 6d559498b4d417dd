#include "mqtt-wrapper/hold_queue.h"

#include "mqtt-wrapper/p7.h"
#include "mqtt-wrapper/topic_rules.h"

#include <algorithm>
#include <utility>

namespace quorvel::mosquitto {

namespace {

constexpr auto drop_report_interval = std::chrono::seconds(10);
const char* const source_file = "src/mqtt-wrapper/hold_queue";

std::size_t size_of(const MqttMessage& m) {
    return m.payload.size() + m.topic.size();
}

}  // namespace

std::size_t HoldQueue::push(std::vector<MqttMessage>& arrived) {
    if (arrived.empty()) return 0;
    std::size_t report = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& m : arrived) {
            bytes_ += size_of(m);
            held_.push_back(std::move(m));
        }
        while (held_.size() > 1 && (held_.size() > max_messages_ || bytes_ > max_bytes_)) {
            bytes_ -= size_of(held_.front());
            held_.pop_front();
            ++dropped_unreported_;
        }
        report = take_drop_report();
    }
    arrived.clear();
    cv_.notify_all();
    return report;
}

std::size_t HoldQueue::room() {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_messages_ - std::min(held_.size(), max_messages_);
}

bool HoldQueue::contains(const std::string& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find(filter) != held_.end();
}

std::size_t HoldQueue::budget(std::size_t most) const {
    if (held_.size() + 1 >= max_messages_ || bytes_ >= max_bytes_) return 0;
    return std::min(most, (max_messages_ - held_.size() - 1) * min_message_bytes);
}

std::size_t HoldQueue::read_budget(std::size_t most) {
    std::lock_guard<std::mutex> lock(mutex_);
    return budget(most);
}

bool HoldQueue::take(const std::string& filter, MqttMessage& message, std::size_t& dropped, bool& was_full) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = find(filter);
    if (found == held_.end()) return false;
    was_full = budget(1) == 0;
    message = std::move(*found);
    bytes_ -= size_of(message);
    held_.erase(found);
    dropped = take_drop_report();
    return true;
}

std::deque<MqttMessage>::iterator HoldQueue::find(const std::string& filter) {
    return std::find_if(held_.begin(), held_.end(),
                        [&](const MqttMessage& m) { return topic_matches(filter, m.topic); });
}

// Called with the lock held: the count to report now, if one is due.
std::size_t HoldQueue::take_drop_report() {
    if (dropped_unreported_ == 0) return 0;
    const auto now = std::chrono::steady_clock::now();
    if (!held_.empty() && last_drop_report_ != std::chrono::steady_clock::time_point{} &&
        now - last_drop_report_ < drop_report_interval) {
        return 0;
    }
    last_drop_report_ = now;
    return std::exchange(dropped_unreported_, 0);
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

void HoldQueue::log_drops(std::size_t count) {
    if (count == 0) return;
    P7::getTrace()->Trace(0, P7::WARNING, nullptr, __LINE__, source_file, "log_drops",
                          "Receive queue full: dropped %zu oldest messages", count);
}

}  // namespace quorvel::mosquitto
