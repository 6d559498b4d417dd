#include "mqtt-wrapper/io/io_loop.h"

#include "mqtt-wrapper/common/durations.h"
#include "mqtt-wrapper/common/p7.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr auto disconnect_timeout = 3s;  // for what is queued at stop()
constexpr auto held_back_report = 60s;   // at most one record per minute
constexpr auto held_back_lately_for = 10s;
const char* const source_file = "src/mqtt-wrapper/io/io_loop";

int timeout_ms(steady::time_point deadline) {
    if (deadline == steady::time_point::max()) return -1;
    const auto left = deadline - steady::now();
    if (left <= steady::duration::zero()) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms + 1, 60'000));
}

}  // namespace

IoLoop::IoLoop(Link& link, Reader& reader, void* context)
    : link_(link),
      reader_(reader),
      context_(context),
      // Seeded apart per process and client, so that controllers restarted
      // together do not retry in step.
      retry_(static_cast<std::uint32_t>(steady::now().time_since_epoch().count() ^
                                        reinterpret_cast<std::uintptr_t>(this))),
      wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

IoLoop::~IoLoop() {
    stop();
    ::close(wake_fd_);
}

void IoLoop::start(bool clean_session, MQTTAsync_onSuccess* on_connected, MQTTAsync_connectionLost* on_lost) {
    if (thread_.joinable()) return;
    clean_session_ = clean_session;
    on_connected_ = on_connected;
    on_lost_ = on_lost;
    thread_ = std::thread([this] { run(); });
}

void IoLoop::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable() && !on_io_thread()) thread_.join();
}

void IoLoop::wake() {
    if (wake_pending_.exchange(true)) return;
    const std::uint64_t one = 1;
    while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

short IoLoop::wait(short events, steady::time_point deadline) {
    const int fd = events ? link_.fd() : -1;
    pollfd p[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
    const int n = ::poll(p, 2, timeout_ms(deadline));
    if (n <= 0) return 0;
    if (p[1].revents & POLLIN) {
        std::uint64_t count = 0;
        while (::read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        wake_pending_ = false;  // whatever asked for it is looked at next
    }
    return p[0].revents;
}

bool IoLoop::pause(steady::duration d) {
    const auto end = steady::now() + d;
    while (!stopping_ && steady::now() < end) wait(0, end);
    return !stopping_;
}

void IoLoop::run() {
    const char* const uri = link_.address().uri.c_str();
    while (!stopping_) {
        Closed failure{CloseCode::stopped, {}};
        steady::duration wait_for{};
        if (connect_once(failure)) {
            connected(retry_.connected(steady::now()));
            const auto since = steady::now();
            if (serve()) break;
            wait_for = lost(since);
        } else if (!stopping_) {
            const auto step = retry_.failed(steady::now(), failure);
            const char* const reason = failure.text.c_str();
            if (step.tell == RetryPolicy::Tell::reason) {
                MQTT_LOG(P7::WARNING, "Cannot connect to %s: %s; retrying until it is up", uri, reason);
            } else if (step.tell == RetryPolicy::Tell::reminder) {
                MQTT_LOG(P7::WARNING, "Still cannot connect to %s: %s (%lu attempts in %s)", uri, reason,
                         step.count, describe_duration(step.span).c_str());
            }
            wait_for = step.pause;
        }
        if (!pause(wait_for)) break;
    }
    if (const auto unsent = link_.unsent_publications()) {
        MQTT_LOG(P7::WARNING, "%zu publications were never sent: not connected to %s", unsent,
                 link_.address().uri.c_str());
    }
}

bool IoLoop::connect_once(Closed& failure) {
    wait(0, steady::now());  // a wake-up left from the last connection must not abort this one
    if (auto failed = link_.connect(clean_session_, wake_fd_)) {
        failure = std::move(*failed);
        return false;
    }
    for (;;) {
        LinkEvents events;
        const auto flushed = link_.flush();
        if (flushed != Link::Flush::broken && link_.state() == Session::State::connected) return true;
        link_.tick(steady::now());
        if (stopping_ || flushed == Link::Flush::broken || link_.broken()) break;
        const short events_wanted =
            static_cast<short>(POLLIN | (flushed == Link::Flush::partial ? POLLOUT : 0));
        const short revents = wait(events_wanted, link_.next_deadline());
        if ((revents & (POLLIN | POLLERR | POLLHUP)) && !link_.read(read_chunk_bytes, events)) break;
    }
    LinkEvents events;
    failure = link_.drop(events).closed;
    if (failure.code == CloseCode::closed_by_peer) failure.text = "connection closed during the handshake";
    return false;
}

// Receive may read the connection only after the record and the callback,
// so that neither comes after a message of this connection.
void IoLoop::connected(RetryPolicy::Up up) {
    if (up.tell) {
        const std::string down =
            up.outage > steady::duration::zero() ? " (down for " + describe_duration(up.outage) + ")" : "";
        MQTT_LOG(P7::INFO, "Connected to %s%s%s", link_.address().uri.c_str(),
                 link_.transport_description().c_str(), down.c_str());
        tell_lost_publications();
    }
    if (on_connected_) {
        MQTTAsync_successData data{};
        data.serverURI = link_.address().uri.c_str();
        try {
            on_connected_(context_, &data);
        } catch (...) {
            MQTT_LOG(P7::ERROR, "The connection callback threw");
        }
    }
    reader_.grant(link_.fd());
}

bool IoLoop::serve() {
    auto close_deadline = steady::time_point::max();
    for (;;) {
        const auto now = steady::now();
        if (stopping_ && close_deadline == steady::time_point::max()) {
            link_.disconnect();  // after everything queued
            close_deadline = now + disconnect_timeout;
        }
        link_.tick(now);
        if (link_.broken()) return false;
        if (now >= retry_.settles_at()) tell_settled(now);
        const auto flushed = link_.flush();
        if (flushed == Link::Flush::broken) return false;
        if (close_deadline != steady::time_point::max()) {
            if (link_.disconnect_written()) {
                finish_close(close_deadline);
                return true;
            }
            if (now >= close_deadline) {
                MQTT_LOG(P7::WARNING, "Closed the connection to %s with output still unsent",
                         link_.address().uri.c_str());
                return false;
            }
        }
        const auto turn = reader_.io_turn(now);
        // While the hold queue has no room, input waits undecoded, then in
        // the socket: its small buffer, then the broker's queue, keep the
        // rest. Receive wakes this loop once it has made room.
        const bool held_back = turn.read && link_.waiting_for_room();
        note_held_back(held_back, now);
        const bool read = turn.read && !held_back;
        const auto deadline =
            std::min({link_.next_deadline(), turn.watch_until, close_deadline, retry_.settles_at()});
        const short events = static_cast<short>((read ? POLLIN : 0) | (held_back ? POLLRDHUP : 0) |
                                                (flushed == Link::Flush::partial ? POLLOUT : 0));
        const bool buffered = read && link_.buffered();
        const short revents = wait(events, buffered ? now : deadline);
        // Held back, only the end of the stream is read. A ping's answer may
        // wait behind the input: it must still come in time, so a broker
        // that floods and reads nothing is left.
        if (turn.read && (buffered || (revents & (POLLIN | POLLERR | POLLHUP | POLLRDHUP)))) {
            reader_.io_read(held_back);
        }
    }
}

void IoLoop::note_held_back(bool held, steady::time_point now) {
    if (!held) {
        if (holding_) held_for_ += now - held_from_;
        holding_ = false;
        return;
    }
    last_held_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    if (!holding_) held_from_ = now;
    holding_ = true;
    if (held_told_ != steady::time_point{} && now - held_told_ < held_back_report) return;
    const auto held_for = held_for_ + (now - held_from_);
    if (held_told_ == steady::time_point{}) {
        MQTT_LOG(P7::WARNING,
                 "Messages come faster than they are taken: reading held back, the broker queues the "
                 "rest");
    } else {
        MQTT_LOG(P7::WARNING,
                 "Reading held back for %s of the last %s: messages come faster than they are taken; "
                 "the broker queues the rest",
                 describe_duration(held_for).c_str(), describe_duration(now - held_told_).c_str());
    }
    held_told_ = now;
    held_for_ = {};
    held_from_ = now;
}

bool IoLoop::held_back_lately() const {
    const auto last = last_held_.load(std::memory_order_relaxed);
    return last != 0 && steady::now() - steady::time_point(steady::duration(last)) < held_back_lately_for;
}

steady::duration IoLoop::lost(steady::time_point since) {
    reader_.revoke();
    LinkEvents events;
    const auto loss = link_.drop(events);
    lost_publications_ += loss.lost_publications;
    const auto step = retry_.lost(steady::now(), since, loss.closed, loss.served);
    const auto tell = stopping_ ? RetryPolicy::Tell::nothing : step.tell;
    if (tell == RetryPolicy::Tell::reason) {
        MQTT_LOG(P7::WARNING, "Connection to %s lost: %s; reconnecting", link_.address().uri.c_str(),
                 loss.closed.text.c_str());
    } else if (tell == RetryPolicy::Tell::reminder) {
        MQTT_LOG(P7::WARNING, "Connection to %s lost again: %s (%lu times in %s); reconnecting",
                 link_.address().uri.c_str(), loss.closed.text.c_str(), step.count,
                 describe_duration(step.span).c_str());
    }
    deliver(events, context_);
    if (on_lost_ && !stopping_) {
        std::string cause = loss.closed.text;
        try {
            on_lost_(context_, cause.data());
        } catch (...) {
            MQTT_LOG(P7::ERROR, "The connection-lost callback threw");
        }
    }
    return step.pause;
}

// A connection that has held after a trouble whose every turn was not told.
void IoLoop::tell_settled(steady::time_point now) {
    const auto summary = retry_.settled(now);
    if (summary.losses == 0) return;
    MQTT_LOG(P7::INFO, "Connection to %s has held for %s, after it was lost %lu times in %s",
             link_.address().uri.c_str(), describe_duration(RetryPolicy::settled_after).c_str(),
             summary.losses, describe_duration(summary.span).c_str());
    tell_lost_publications();
}

void IoLoop::tell_lost_publications() {
    if (const auto lost = std::exchange(lost_publications_, 0)) {
        MQTT_LOG(P7::WARNING, "%zu publications were lost with the previous connection", lost);
    }
}

// After DISCONNECT: no more writes, and the socket closes once the broker
// has read everything (it closes its end), so nothing is cut off.
void IoLoop::finish_close(steady::time_point deadline) {
    reader_.revoke();
    link_.shutdown_write();
    LinkEvents events;
    while (steady::now() < deadline) {
        if (wait(POLLIN, deadline) == 0) continue;
        if (!link_.read(read_chunk_bytes, events, true)) break;
    }
    link_.drop(events);
}

}  // namespace quorvel::mosquitto
