#include "mqtt-wrapper/io/reader.h"

#include "mqtt-wrapper/core/topic_rules.h"

#include <fmt/format.h>
#include <poll.h>

#include <algorithm>

namespace quorvel::mosquitto {

namespace {

using steady = std::chrono::steady_clock;

// Counts a caller inside Receive for the destructor, which waits for it.
class Inside {
public:
    explicit Inside(HoldQueue& held) : held_(held) { held_.enter(); }
    ~Inside() { held_.leave(); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

private:
    HoldQueue& held_;
};

}  // namespace

Reader::Reader(Link& link, HoldQueue& held, std::chrono::milliseconds lease, void* context,
               void (*wake)(void*), void* io)
    : link_(link), held_(held), handover_(lease, held.mutex()), context_(context), wake_(wake), io_(io) {}

MqttMessage Reader::receive(const std::string& filter, int timeout_ms) {
    const Inside inside(held_);
    const bool forever = timeout_ms <= 0;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        MqttMessage message;
        const auto taken = held_.take(filter, message);
        if (taken.found) {
            // Keeps the lease: the loop is expected back. Room again: the I/O
            // loop may hand over what waits for it.
            const auto now = steady::now();
            const auto left = handover_.leave_receive(now, taken.more);
            if (left.wake_io || taken.wake_reader) wake_io();
            HoldQueue::log(taken.report);
            if (left.read_ahead) read_ahead(now);
            return message;
        }
        if (held_.closed()) throw MqttError("The MQTT client is being destroyed", MqttError::Code::destroyed);
        if (!forever && steady::now() >= deadline) {
            if (handover_.leave_receive(steady::now()).wake_io) wake_io();
            throw MqttError(fmt::format("No message on '{}' within {} ms", shown_topic(filter), timeout_ms),
                            MqttError::Code::timed_out);
        }
        // About to wait: what this thread published goes out now, in one
        // write for everything since it last waited.
        if (link_.flush() != Link::Flush::done) wake_io();
        const int fd = handover_.try_lead();
        if (fd >= 0) {
            lead(fd, filter, deadline, forever);
        } else {
            held_.wait(filter, deadline, forever, [&] { return handover_.lead_free(); });
        }
    }
}

void Reader::grant(int fd) {
    handover_.grant(fd);
    held_.notify();  // a waiting Receive may lead now
}

void Reader::io_read(bool held_back) {
    LinkEvents got;
    link_.read(read_chunk_bytes, got, held_back);
    handover_.io_read_done(got.filled, got.messages > 0);
    deliver(got, context_);
}

void Reader::left_socket(bool wake) {
    if (handover_.leave(steady::now()) || wake) wake_io();
    held_.notify();  // a follower may lead now
}

void Reader::hold_off(pollfd& kick, time_point deadline, bool forever) {
    auto pause = std::chrono::duration_cast<std::chrono::nanoseconds>(pacing_.before_read());
    if (pause.count() == 0 || link_.buffered()) return;
    if (!forever) pause = std::min(pause, std::max(deadline - steady::now(), steady::duration::zero()));
    // poll, not ppoll: glibc 2.36's fortified ppoll passes a 64-bit
    // timespec to the 32-bit call on 32-bit targets.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(pause).count();
    if (ms > 0) ::poll(&kick, 1, static_cast<int>(ms));
}

void Reader::lead(int fd, const std::string& filter, time_point deadline, bool forever) {
    // The I/O loop nudges a leader after it hands a message over; one
    // handed over before this caller led is looked for here.
    if (held_.contains(filter)) return left_socket(false);
    pollfd p[2] = {{fd, POLLIN, 0}, {handover_.kick_fd(), POLLIN, 0}};
    hold_off(p[1], deadline, forever);
    LinkEvents events;
    bool broke = false;
    // Input that hands nothing out (a PINGRESP, an acknowledgement) keeps
    // the lead: leaving would wake the I/O loop for nothing.
    for (;;) {
        int timeout = -1;
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            timeout = static_cast<int>(std::max<long long>(left.count() + 1, 0));
        }
        // Only a full queue stops this caller: it waits for another topic,
        // which may already wait undecoded behind the held ones.
        const bool beyond_room = held_.full();
        if (link_.buffered(beyond_room)) {
            p[0].revents = POLLIN;  // input the socket no longer shows
            p[1].revents = 0;
        } else if (::poll(p, 2, timeout) <= 0) {
            break;
        }
        if (p[1].revents & POLLIN) {
            handover_.drain_kick();
            break;
        }
        broke = !link_.read(read_chunk_bytes, events, beyond_room);
        if (events.messages > 0) pacing_.read(steady::now(), events.messages, events.filled);
        if (broke || events.messages > 0 || !events.told.empty()) break;
        if (link_.flush() != Link::Flush::done) wake_io();  // acknowledgements
    }
    left_socket(broke);
    deliver(events, context_);
}

// Once per pause at most, unless the last read-ahead found a whole chunk
// waiting: while input floods in, it reads at every message, and the I/O
// thread reads too, as input comes, until a read of either finds less.
void Reader::read_ahead(time_point started) {
    LinkEvents events;
    bool broke = false;
    bool flooded = false;
    // At most the hold queue's bound in one go: a flood of messages that
    // replace one another never keeps the loop from handling them.
    for (std::size_t read = 0; !broke && read < held_.max_bytes(); read += read_chunk_bytes) {
        events.filled = false;
        broke = !link_.read(read_chunk_bytes, events);
        if (!events.filled) break;  // the socket is empty, or the queue full
        flooded = true;
    }
    // While input floods in, the I/O thread reads beside the receive loop.
    const bool flooding = handover_.read_ahead_done(started, flooded);
    left_socket(broke || flooding);
    deliver(events, context_);
}

}  // namespace quorvel::mosquitto
