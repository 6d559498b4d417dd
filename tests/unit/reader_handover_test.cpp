#include "mqtt-wrapper/io/reader_handover.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using quorvel::mosquitto::ReaderHandover;
using quorvel::mosquitto::ReadPacing;

namespace {

const auto now = std::chrono::steady_clock::now;
constexpr int socket_fd = 7;  // only handed around, never read

bool kicked_within(const ReaderHandover& h, int ms) {
    pollfd p{h.kick_fd(), POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

}  // namespace

TEST(ReaderHandover, OneCallerLeadsUntilItLeavesTheSocketWhateverFollowersDo) {
    std::mutex m;
    ReaderHandover h(std::chrono::milliseconds(10), m);
    h.grant(socket_fd);
    ASSERT_EQ(h.try_lead(), socket_fd);
    EXPECT_EQ(h.try_lead(), -1);  // a second caller follows
    h.leave_receive(now());       // a follower takes a message, or times out
    EXPECT_FALSE(h.lead_free());
    EXPECT_EQ(h.try_lead(), -1);
    h.leave(now());  // the leader leaves the socket
    EXPECT_EQ(h.try_lead(), socket_fd);
}

TEST(ReaderHandover, RevokeKicksTheLeaderAndWaitsUntilItHasLeft) {
    std::mutex m;
    ReaderHandover h(std::chrono::milliseconds(10), m);
    h.grant(socket_fd);
    ASSERT_EQ(h.try_lead(), socket_fd);
    h.leave_receive(now());  // a follower leaving changes nothing
    std::atomic<bool> revoked{false};
    std::thread io([&] {
        h.revoke();
        revoked = true;
    });
    EXPECT_TRUE(kicked_within(h, 10000));
    EXPECT_FALSE(revoked);  // the leader is still on the socket
    h.leave(now());
    io.join();
    EXPECT_TRUE(revoked);
    EXPECT_EQ(h.try_lead(), -1);  // no socket until the next grant
}

TEST(ReaderHandover, TheIoLoopReadsWithinALeaseOrBesideALeaderOnlyWhileInputFloodsIn) {
    std::mutex m;
    ReaderHandover h(std::chrono::milliseconds(10), m);
    h.grant(socket_fd);
    const auto t = now();
    h.leave_receive(t);  // a receive loop took a message and comes back
    EXPECT_FALSE(h.io_turn(t).read);
    EXPECT_TRUE(h.read_ahead_done(t, true));  // flooding began: the I/O loop is woken
    EXPECT_TRUE(h.io_turn(t).read);
    ASSERT_EQ(h.try_lead(), socket_fd);
    EXPECT_TRUE(h.io_turn(t).read);
    h.io_read_done(false, false);  // a read caught up
    EXPECT_FALSE(h.io_turn(t).read);
    h.leave(t);
    EXPECT_FALSE(h.io_turn(t + std::chrono::milliseconds(9)).read);
    EXPECT_TRUE(h.io_turn(t + std::chrono::milliseconds(10)).read);  // the lease has run out
    h.read_ahead_done(t, true);
    h.revoke();
    EXPECT_FALSE(h.io_turn(t).read);  // no connection
}

TEST(ReaderHandover, AReceiveLoopThatIsBehindReadsAheadOncePerPauseOrAtEveryMessageWhileFlooded) {
    std::mutex m;
    ReaderHandover h(std::chrono::milliseconds(10), m);
    h.grant(socket_fd);
    const auto t = now();
    EXPECT_FALSE(h.leave_receive(t, false).read_ahead);  // not behind
    ASSERT_TRUE(h.leave_receive(t, true).read_ahead);
    EXPECT_EQ(h.try_lead(), -1);  // it leads
    h.read_ahead_done(t, false);
    h.leave(t);
    EXPECT_FALSE(h.leave_receive(t + std::chrono::microseconds(999), true).read_ahead);
    ASSERT_TRUE(h.leave_receive(t + ReadPacing::pause, true).read_ahead);
    h.read_ahead_done(t + ReadPacing::pause, true);
    h.leave(t);
    EXPECT_TRUE(h.leave_receive(t + ReadPacing::pause, true).read_ahead);   // flooded: at once
    EXPECT_FALSE(h.leave_receive(t + ReadPacing::pause, true).read_ahead);  // another leads
}
