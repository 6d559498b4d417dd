#pragma once

// The one room that reads the socket while a connection is up. Callers in
// Receive take messages from the hold queue; with nothing to take, one of
// them leads (polls and reads the socket) and the others follow, waiting on
// the hold queue. The I/O thread reads through io_read() when the hand-over
// gives it the turn: no caller leads and the lease has run out, or input
// floods in. Under load the leader paces its reads (ReadPacing), and a
// receive loop that is behind reads ahead between the messages it takes.
//
// Locks: none of its own. The hold queue's lock guards the held messages
// and the hand-over's state (who reads, the lease, the read-ahead's pace);
// pacing_ is the leader's, one thread at a time. Reads take the link's
// lock, then the hold queue's; the hand-over's calls take the hold queue's
// alone.

#include "mqtt-wrapper/io/hold_queue.h"
#include "mqtt-wrapper/io/link.h"
#include "mqtt-wrapper/io/read_pacing.h"
#include "mqtt-wrapper/io/reader_handover.h"

#include <poll.h>

#include <chrono>
#include <string>

namespace quorvel::mosquitto {

class Reader {
public:
    using time_point = std::chrono::steady_clock::time_point;

    // wake(io) wakes the I/O loop; context is handed to the callbacks.
    Reader(Link& link, HoldQueue& held, std::chrono::milliseconds lease, void* context, void (*wake)(void*),
           void* io);

    // The oldest message matching filter, waiting for it up to timeout_ms
    // (forever when not positive). Throws MqttError at the deadline and once
    // the client is being destroyed.
    MqttMessage receive(const std::string& filter, int timeout_ms);
    // A receive loop is between two Receive calls and will write its output then.
    bool lease_held(time_point now) { return handover_.lease_held(now); }

    // The I/O loop: a connection is up on fd, or is going (revoke returns
    // once no caller reads it any more).
    void grant(int fd);
    void revoke() { handover_.revoke(); }
    ReaderHandover::Turn io_turn(time_point now) { return handover_.io_turn(now); }
    // One read by the I/O thread; held_back: only to find the end of the stream.
    void io_read(bool held_back);

private:
    // A caller that leads: waits for input until the deadline or a kick,
    // reads no more than the hold queue has room for (a burst waits in the
    // socket rather than push out what this caller has yet to take), then
    // leaves the socket before running any callback.
    void lead(int fd, const std::string& filter, time_point deadline, bool forever);
    // A receive loop that is behind reads on between the messages it takes,
    // all that has come, up to the hold queue's bound: what it leaves to the
    // socket the broker would queue, and drop the newest of. Messages that a
    // newer one supersedes make the room (see HoldQueue).
    void read_ahead(time_point started);
    // Under load, lets input gather before the leader reads; a kick ends the pause.
    void hold_off(pollfd& kick, time_point deadline, bool forever);
    void left_socket(bool wake);
    void wake_io() { wake_(io_); }

    Link& link_;
    HoldQueue& held_;
    ReaderHandover handover_;
    void* const context_;
    void (*const wake_)(void*);
    void* const io_;
    ReadPacing pacing_;  // the leader's
};

}  // namespace quorvel::mosquitto
