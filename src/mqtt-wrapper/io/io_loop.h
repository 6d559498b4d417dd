#pragma once

// The one room that reads the socket. The client's own thread connects, and
// reconnects after every loss with the pauses of RetryPolicy; keeps the
// connection alive; writes what callers leave to it; reads the socket
// whenever no caller in Receive does (see ReaderHandover); and at the end
// closes cleanly after everything queued. A caller in Receive that leads
// reads through lead() and read_ahead(), on its own thread.
//
// Concurrency: the thread's own state needs no lock. Other threads call
// only wake() (coalesced: one eventfd write until the loop has looked),
// on_io_thread(), stop(), and lead() or read_ahead() while the hand-over
// lets them lead (the pacing is the leader's; the last read-ahead atomic).

#include "mqtt-wrapper/core/retry_policy.h"
#include "mqtt-wrapper/io/callback_data.h"
#include "mqtt-wrapper/io/link.h"
#include "mqtt-wrapper/io/read_pacing.h"
#include "mqtt-wrapper/io/reader_handover.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvel::mosquitto {

class IoLoop {
public:
    IoLoop(Link& link, ReaderHandover& handover, HoldQueue& held, void* context);
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

    // A caller in Receive that leads the socket (fd from the hand-over):
    // waits for input until the deadline or a kick, reads no more than the
    // hold queue has room for (a burst waits in the socket rather than push
    // out what this caller has yet to take), then leaves the socket before
    // running any callback.
    void lead(int fd, const std::string& filter, std::chrono::steady_clock::time_point deadline,
              bool forever);
    // A receive loop that is behind reads on between the messages it takes,
    // all that has come, up to the hold queue's bound: what it leaves to the
    // socket the broker would queue, and drop the newest of. Messages that a
    // newer one supersedes make the room (see HoldQueue). Once per pause at
    // most, unless its last read-ahead found a whole chunk waiting: while
    // input floods in, it reads at every message, and this loop's thread
    // reads too, as input comes, until a read of either finds less.
    void read_ahead();

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
    void left_socket();
    // Under load, lets input gather before a caller reads; a kick ends the pause.
    void hold_off(pollfd& kick, std::chrono::steady_clock::time_point deadline, bool forever);

    Link& link_;
    ReaderHandover& handover_;
    HoldQueue& held_;
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
    ReadPacing pacing_;                                         // the leading caller's
    std::atomic<std::chrono::steady_clock::rep> last_read_{0};  // by a receive loop reading ahead
    std::atomic<bool> flooded_{false};  // a read-ahead found a whole chunk, and no read since caught up
    std::thread thread_;
};

}  // namespace quorvel::mosquitto
