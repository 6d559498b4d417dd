#pragma once

// Messages received and not yet handed out by Receive.
//
// Concurrency: one mutex guards the queue; it is held only to move messages
// in or out, never across a blocking call or a callback, and waiters are
// notified after it is released. The socket's reader pushes and never
// blocks. While the queue is full the I/O thread leaves input in the socket
// (and the broker queues the rest); a Receive caller that finds nothing for
// its filter reads anyway, and then beyond the limits (messages and bytes)
// the oldest messages are dropped, counted, and reported at most once per
// interval and once more when the queue has drained. Receive callers take
// the oldest message that matches their filter and wait, with a predicate,
// while there is none.

#include "mqtt-wrapper/types.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quorvel::mosquitto {

class HoldQueue {
public:
    HoldQueue(std::size_t max_messages, std::size_t max_bytes)
        : max_messages_(max_messages), max_bytes_(max_bytes) {}

    // Appends and empties arrived; returns how many drops to report now.
    std::size_t push(std::vector<MqttMessage>& arrived);
    // How many more messages fit before the oldest are dropped.
    std::size_t room();
    // Bytes the I/O thread may read now without the queue dropping any: a
    // message has at least min_message_bytes, and one more may be completed
    // from what was read before. 0: leave input in the socket.
    static constexpr std::size_t min_message_bytes = 5;  // a one-byte topic and no payload
    std::size_t read_budget(std::size_t most);

    bool contains(const std::string& filter);
    // The oldest message matching filter, if any; drops to report go to
    // dropped; was_full tells that the read budget was 0 before.
    bool take(const std::string& filter, MqttMessage& message, std::size_t& dropped, bool& was_full);

    // Waits until a message matches filter, the queue is closed, other()
    // holds (checked under the queue's lock) or the deadline passes.
    template <class Other>
    void wait(const std::string& filter, std::chrono::steady_clock::time_point deadline, bool forever,
              Other other) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [&] { return closed_ || other() || find(filter) != held_.end(); };
        if (forever) {
            cv_.wait(lock, ready);
        } else {
            cv_.wait_until(lock, deadline, ready);
        }
    }
    // Wakes waiters to look again (another condition changed).
    void notify();

    // Ends every wait; Receive throws from then on.
    void close();
    bool closed();

    // Callers inside Receive, so that destruction waits for them to leave.
    void enter();
    void leave();
    void wait_until_empty_of_callers();

    static void log_drops(std::size_t count);

private:
    std::deque<MqttMessage>::iterator find(const std::string& filter);
    std::size_t budget(std::size_t most) const;  // with mutex_ held
    std::size_t take_drop_report();

    const std::size_t max_messages_;
    const std::size_t max_bytes_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<MqttMessage> held_;
    std::size_t bytes_ = 0;
    std::size_t dropped_unreported_ = 0;
    std::chrono::steady_clock::time_point last_drop_report_{};
    bool closed_ = false;
    int callers_ = 0;
};

}  // namespace quorvel::mosquitto
