#pragma once

// The client's own thread: connects, and reconnects after every loss with
// the pauses of RetryPolicy; keeps the connection alive; writes what
// callers leave to it; reads through the Reader when it has the turn; and
// at the end closes cleanly after everything queued.
//
// Concurrency: no lock of its own; the thread's state is its own. Other
// threads call only wake() (coalesced: wake_pending_, one eventfd write
// until the loop has looked), on_io_thread(), stop() (stopping_) and
// held_back_lately() (last_held_): its three atomics.

#include "mqtt-wrapper/core/retry_policy.h"
#include "mqtt-wrapper/io/callback_data.h"
#include "mqtt-wrapper/io/link.h"
#include "mqtt-wrapper/io/reader.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvel::mosquitto {

class IoLoop {
public:
    IoLoop(Link& link, Reader& reader, void* context);
    ~IoLoop();
    IoLoop(const IoLoop&) = delete;
    IoLoop& operator=(const IoLoop&) = delete;

    void start(bool clean_session, MQTTAsync_onSuccess* on_connected, MQTTAsync_connectionLost* on_lost);
    bool started() const { return thread_.joinable(); }
    // Closes the connection after everything queued and ends the thread.
    void stop();
    void wake();
    bool on_io_thread() const { return std::this_thread::get_id() == thread_.get_id(); }
    // Input was left in the socket, the hold queue being full, within the
    // last 10 s. Any thread.
    bool held_back_lately() const;

private:
    void run();
    // TCP, CONNECT and a CONNACK that accepts: true, or false with why.
    bool connect_once(Closed& failure);
    bool serve();  // true when the connection closed cleanly at stop()
    // The pause before the next attempt.
    std::chrono::steady_clock::duration lost(std::chrono::steady_clock::time_point since);
    void tell_settled(std::chrono::steady_clock::time_point now);
    void tell_lost_publications();
    void finish_close(std::chrono::steady_clock::time_point deadline);
    // Waits for the socket (events 0: only for a wake-up) until the
    // deadline; revents of the socket, 0 on timeout or wake-up.
    short wait(short events, std::chrono::steady_clock::time_point deadline);
    bool pause(std::chrono::steady_clock::duration d);
    void connected(RetryPolicy::Up up);
    void note_held_back(bool held, std::chrono::steady_clock::time_point now);

    Link& link_;
    Reader& reader_;
    void* const context_;
    RetryPolicy retry_;
    int wake_fd_ = -1;
    std::atomic<bool> wake_pending_{false};
    std::atomic<bool> stopping_{false};
    bool clean_session_ = true;
    MQTTAsync_onSuccess* on_connected_ = nullptr;
    MQTTAsync_connectionLost* on_lost_ = nullptr;
    std::size_t lost_publications_ = 0;
    // Holding input back: since when, for how long since the last record.
    bool holding_ = false;
    std::chrono::steady_clock::time_point held_from_{};
    std::chrono::steady_clock::duration held_for_{};
    std::chrono::steady_clock::time_point held_told_{};
    std::atomic<std::chrono::steady_clock::rep> last_held_{0};
    std::thread thread_;
};

}  // namespace quorvel::mosquitto
