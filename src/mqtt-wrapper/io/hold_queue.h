#pragma once

// Messages received and not yet handed out by Receive.
//
// Bounded by messages and by bytes (of topics and payloads): the socket's
// reader hands over only what room() allows and leaves the rest undecoded,
// then in the socket, and the broker queues it. Under overload, from half
// the bound on, a message on a topic with a supersede key (supersede())
// replaces the latest held message of the same topic and key, which it
// carries again: the reader goes on reading, the newest messages are kept,
// and what is left out is what a newer message supersedes. A Receive caller
// that finds nothing for its filter in a full queue reads on regardless:
// beyond the bound the oldest messages are then dropped. Drops and
// replacements are counted, and reported at most once per interval.
// Receive callers take the oldest message that matches their filter and
// wait, with a predicate, while there is none.
//
// Lock: mutex_ guards every member below it, and the reader's hand-over
// (ReaderHandover) shares it for its own state. The reader takes it to push
// (under the link's lock: the link's first), callers in Receive to take and
// to wait, the front to close; it is held only to move messages in or out
// or to set the hand-over's state, never across a blocking call, a callback
// or a supersede key (computed before it is taken, without it), and waiters
// are notified after it is released. One reader at a time pushes, and
// never blocks.

#include "mqtt-wrapper/core/room.h"
#include "mqtt-wrapper/core/types.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvel::mosquitto {

class HoldQueue {
public:
    HoldQueue(std::size_t max_messages, std::size_t max_bytes)
        : max_messages_(max_messages), max_bytes_(max_bytes) {}

    // Messages on topics that filter matches may replace one another by the
    // key that key() gives them. Set before the first push.
    void supersede(std::string filter, MqttSupersedeKey* key) { keys_.emplace_back(std::move(filter), key); }

    // What a push reports, to log with no lock held.
    struct Report {
        std::size_t dropped = 0;
        std::size_t replaced = 0;
        std::chrono::steady_clock::duration replaced_over{};  // since the last report of replacements
    };
    // Appends and empties arrived; a message may replace a held one, and
    // beyond the bound (only when the reader was told to read regardless)
    // the oldest are dropped.
    Report push(std::vector<MqttMessage>& arrived);

    std::size_t max_bytes() const { return max_bytes_; }  // its bound in bytes

    // How much the reader may hand over without dropping any.
    Room room();
    bool full();
    // The reader stopped for lack of room; the next take() says to wake it.
    void reader_waits();

    bool contains(const std::string& filter);
    struct Taken {
        bool found = false;
        bool wake_reader = false;  // the reader waits for the room this take made
        bool more = false;         // messages are still held: the taker is behind
        Report report;             // to log
    };
    // Moves the oldest message matching filter, if any, into message.
    Taken take(const std::string& filter, MqttMessage& message);

    // The lock the reader's hand-over shares.
    std::mutex& mutex() { return mutex_; }

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

    // Whether a message replaced another within the last 10 s. Any thread.
    bool replaced_lately();

    static void log(const Report& report);

private:
    struct Held {
        MqttMessage message;
        std::string key;  // topic, a zero byte and the supersede key; empty: none
    };
    using Iterator = std::list<Held>::iterator;

    Iterator find(const std::string& filter);
    bool superseding() const;   // with mutex_ held
    void unindex(Iterator at);  // with mutex_ held
    void remove(Iterator at);   // with mutex_ held
    Report take_report();       // with mutex_ held
    std::string key_of(const MqttMessage& m) const;

    const std::size_t max_messages_;
    const std::size_t max_bytes_;
    std::vector<std::pair<std::string, MqttSupersedeKey*>> keys_;
    std::vector<std::string> arrived_keys_;  // the pushing reader's

    std::mutex mutex_;
    std::condition_variable cv_;
    std::list<Held> held_;
    std::unordered_map<std::string_view, Iterator> latest_;  // key -> the latest held message with it
    std::size_t bytes_ = 0;
    bool reader_waits_ = false;
    std::size_t dropped_unreported_ = 0;
    std::chrono::steady_clock::time_point last_drop_report_{};
    std::size_t replaced_unreported_ = 0;
    std::chrono::steady_clock::time_point last_replace_report_{};
    std::chrono::steady_clock::time_point last_replaced_{};
    bool closed_ = false;
    int callers_ = 0;
};

}  // namespace quorvel::mosquitto
