#include "mqtt-wrapper/io/reader_handover.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace quorvel::mosquitto {

ReaderHandover::ReaderHandover(std::chrono::milliseconds lease, std::mutex& mutex)
    : lease_(lease), mutex_(mutex), kick_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (kick_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

ReaderHandover::~ReaderHandover() {
    ::close(kick_fd_);
}

void ReaderHandover::grant(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
    lease_until_ = {};  // the I/O loop reads until a caller leads
}

namespace {

void kick(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

void ReaderHandover::revoke() {
    std::unique_lock<std::mutex> lock(mutex_);
    fd_ = -1;
    if (leading_) {
        kick(kick_fd_);
        left_.wait(lock, [&] { return !leading_; });
    }
    drain_kick();
}

void ReaderHandover::io_read_done(bool filled, bool messages) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!filled) flooded_ = false;  // caught up
    if (messages && leading_) kick(kick_fd_);
}

bool ReaderHandover::read_ahead_done(time_point started, bool flooded) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_read_ahead_ = started;
    const bool was = std::exchange(flooded_, flooded);
    return flooded && !was;
}

void ReaderHandover::drain_kick() {
    std::uint64_t count = 0;
    while (::read(kick_fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

int ReaderHandover::try_lead() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 || leading_) return -1;
    leading_ = true;
    return fd_;
}

bool ReaderHandover::renew_lease(time_point now) {
    lease_until_ = now + lease_;
    return fd_ >= 0 && !std::exchange(io_watching_, true);
}

bool ReaderHandover::leave(time_point now) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        leading_ = false;
        wake = renew_lease(now);
    }
    left_.notify_all();
    return wake;
}

ReaderHandover::Left ReaderHandover::leave_receive(time_point now, bool behind) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wake = renew_lease(now);
    const bool ahead =
        behind && fd_ >= 0 && !leading_ && (flooded_ || now - last_read_ahead_ >= ReadPacing::pause);
    if (ahead) leading_ = true;
    return {wake, ahead};
}

bool ReaderHandover::lease_held(time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !leading_ && now < lease_until_;
}

ReaderHandover::Turn ReaderHandover::io_turn(time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (flooded_ && fd_ >= 0) {  // two threads read, until one catches up
        io_watching_ = false;
        return {true, time_point::max()};
    }
    if (leading_) {
        // A receive loop that left within the last two leases is likely to
        // leave again: a look once per lease costs less than a wake-up at
        // every leave(), and no lease can end unseen (one taken after this
        // look ends after its deadline). A leader that has waited longer
        // wakes the loop when it leaves.
        io_watching_ = lease_until_ + lease_ > now;
        return {false, io_watching_ ? now + lease_ : time_point::max()};
    }
    if (now < lease_until_) {
        io_watching_ = true;
        return {false, lease_until_};
    }
    io_watching_ = false;
    return {true, time_point::max()};
}

}  // namespace quorvel::mosquitto
