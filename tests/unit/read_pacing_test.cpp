#include "mqtt-wrapper/io/read_pacing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

using quorvel::mosquitto::ReadPacing;
using std::chrono::microseconds;

namespace {

const ReadPacing::time_point start = ReadPacing::time_point() + std::chrono::hours(1);

// Reads of `messages` each, `apart` from one another; the pause after the last.
microseconds after_reads(int reads, std::size_t messages, microseconds apart) {
    ReadPacing pacing;
    for (int i = 0; i < reads; ++i) pacing.read(start + i * apart, messages, false);
    return pacing.before_read();
}

}  // namespace

TEST(ReadPacing, PausesOnlyWhileSeveralMessagesAReadComeFasterThanTheBusyRate) {
    const microseconds none{0};
    // 2,000 messages/s, one per read: every message is read at once.
    EXPECT_EQ(after_reads(100, 1, microseconds(500)), none);
    // One message a read is never held back, however fast.
    EXPECT_EQ(after_reads(100, 1, microseconds(50)), none);
    // Two a read at 2,000/s, as when the reader was late once.
    EXPECT_EQ(after_reads(100, 2, microseconds(1000)), none);
    // A burst after a quiet spell.
    EXPECT_EQ(after_reads(1, 50, microseconds(0)), none);
    {
        ReadPacing pacing;
        pacing.read(start, 1, false);
        pacing.read(start + std::chrono::seconds(2), 50, false);
        EXPECT_EQ(pacing.before_read(), none);
    }
    // 10,000/s: two a read every 200 us, and the batches that the pause makes.
    EXPECT_EQ(after_reads(3, 2, microseconds(200)), ReadPacing::pause);
    EXPECT_EQ(after_reads(100, 10, ReadPacing::pause + microseconds(40)), ReadPacing::pause);
    // Exactly the busy rate still counts.
    EXPECT_EQ(after_reads(2, 4, microseconds(1000)), ReadPacing::pause);
    EXPECT_EQ(after_reads(2, 3, microseconds(1000)), none);
}

TEST(ReadPacing, TheRateFallingEndsThePauses) {
    ReadPacing pacing;
    for (int i = 0; i < 10; ++i) pacing.read(start + i * microseconds(1000), 10, false);
    ASSERT_EQ(pacing.before_read(), ReadPacing::pause);
    // Reads that hand nothing out (an acknowledgement) change nothing: the
    // rate still counts from the last read that handed out messages.
    pacing.read(start + microseconds(9400), 0, false);
    EXPECT_EQ(pacing.before_read(), ReadPacing::pause);
    pacing.read(start + microseconds(9000) + microseconds(1500), 2, false);  // 1,333/s
    EXPECT_EQ(pacing.before_read(), microseconds(0));
    // Two reads at the same instant give no rate.
    pacing.read(start + microseconds(10500), 5, false);
    EXPECT_EQ(pacing.before_read(), microseconds(0));
}

TEST(ReadPacing, AReaderThatIsBehindReadsAgainAtOnce) {
    ReadPacing pacing;
    for (int i = 0; i < 10; ++i) pacing.read(start + i * microseconds(1000), 10, false);
    ASSERT_EQ(pacing.before_read(), ReadPacing::pause);
    pacing.read(start + microseconds(9100), 30, true);  // more is waiting in the socket
    EXPECT_EQ(pacing.before_read(), microseconds(0));
    pacing.read(start + microseconds(9200), 5, false);
    EXPECT_EQ(pacing.before_read(), ReadPacing::pause);
}
