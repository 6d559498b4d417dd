#pragma once

// Which thread reads the socket: a leader/followers hand-over between the
// callers waiting in Receive and the client's I/O thread. Part of Reader.
//
// Rule: at most one caller leads, that is polls and reads the socket; other
// callers follow, waiting on the hold queue for a message or for the lead.
// A caller that leaves Receive keeps a lease on the reading for `lease`, so
// that a receive loop handles a message and comes back without the I/O
// thread waking in between; the I/O thread reads only when no caller leads
// and the lease has run out, or while input floods in (then beside them,
// as it comes). The I/O loop keeps the lease's deadline in its
// own poll timeout: leave() says when it must be woken to start watching.
// While a receive loop runs, the I/O loop looks once per lease instead of
// being woken at every leave().
//
// Lock: the hold queue's (passed in as mutex_) guards fd_, leading_,
// io_watching_, lease_until_, last_read_ahead_ and flooded_. Callers in
// Receive and the I/O thread take it for a few assignments, never across a
// read, a poll or a callback, and never with the link's; a follower's wait
// on the hold queue checks lead_free() under it. revoke() waits on it
// (with a kick to the leader's poll) until the leader has left the socket.

#include "mqtt-wrapper/io/read_pacing.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorvel::mosquitto {

class ReaderHandover {
public:
    using time_point = std::chrono::steady_clock::time_point;

    // mutex: the hold queue's, which guards the hand-over too.
    ReaderHandover(std::chrono::milliseconds lease, std::mutex& mutex);
    ~ReaderHandover();
    ReaderHandover(const ReaderHandover&) = delete;
    ReaderHandover& operator=(const ReaderHandover&) = delete;

    // The I/O loop: a connection is up on fd, or is going (revoke returns
    // once no caller reads it any more).
    void grant(int fd);
    void revoke();

    // A caller: the socket to read when it now leads, or -1.
    int try_lead();
    // Whether a caller could lead now; with mutex held (a follower's wait predicate).
    bool lead_free() const { return fd_ >= 0 && !leading_; }
    // The leader leaves the socket; a caller leaves Receive (whether it led
    // or followed, it never ends another's lead). The lease runs from now.
    // wake_io: the I/O loop must be woken to watch it. behind: messages are
    // still held; then, once a pause since the last read-ahead has passed
    // (at once while input floods in), the caller takes the lead to read
    // ahead if it is free.
    bool leave(time_point now);
    struct Left {
        bool wake_io;
        bool read_ahead;
    };
    Left leave_receive(time_point now, bool behind = false);
    // A read-ahead that began at started ended; flooded: it found a whole
    // chunk at every read. True when flooding began: the I/O loop must be
    // woken to read beside it.
    bool read_ahead_done(time_point started, bool flooded);
    // The I/O loop read; filled: it took a whole chunk. A leader is nudged
    // when messages were handed over (it may have led since io_turn).
    void io_read_done(bool filled, bool messages);
    // A leader polls this with the socket: readable when it must let go, or
    // look at the hold queue (the I/O loop read a message meanwhile).
    int kick_fd() const { return kick_fd_; }
    void drain_kick();
    // A receive loop is between two Receive calls and will write its output then.
    bool lease_held(time_point now);

    // The I/O loop: whether it reads the socket now, and until when it may
    // sleep without missing the lease's end. While input floods in (faster
    // than the receive loop reads it) the I/O loop reads as it comes,
    // beside any caller.
    struct Turn {
        bool read;
        time_point watch_until;
    };
    Turn io_turn(time_point now);

private:
    bool renew_lease(time_point now);  // with mutex_ held

    const std::chrono::milliseconds lease_;
    std::mutex& mutex_;
    std::condition_variable left_;
    int fd_ = -1;               // the socket callers may read, or -1
    bool leading_ = false;      // a caller reads it
    bool io_watching_ = false;  // the I/O loop sleeps no longer than lease_until_
    time_point lease_until_{};
    time_point last_read_ahead_{};
    bool flooded_ = false;  // a read-ahead found a whole chunk, and no read since caught up
    int kick_fd_ = -1;
};

}  // namespace quorvel::mosquitto
