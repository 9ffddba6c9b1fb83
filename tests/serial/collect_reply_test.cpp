#include "serial/collect_reply.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "support/fake_comm_driver.h"

namespace countryset {
namespace {

class CollectReplyTest : public ::testing::Test {
protected:
    // Each clock reading returns the next scripted second and lets one more byte ('a', 'b',
    // ...) arrive, so the bytes taken count the passes made.
    void ScriptClock(std::vector<std::time_t> readings) {
        driver.SetClock([this, readings] {
            const char next = static_cast<char>('a' + readings_taken);
            ring.Append(&next, 1);
            const std::size_t i = std::min(readings_taken++, readings.size() - 1);
            return readings[i];
        });
    }
    std::string Dest() const { return std::string(dest.data()); }

    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring{storage.data()};
    testing::FakeCommDriver driver;
    std::array<char, 32> dest{};
    std::size_t readings_taken = 0;
};

TEST_F(CollectReplyTest, ReturnsAsSoonAsItHasTheCount) {
    ring.Append("ATZE1\r\r\nOK\r\nXY", 14);
    CollectReply(ring, dest.data(), 12, 3, driver);
    EXPECT_EQ(Dest(), "ATZE1\r\r\nOK\r\n");
    char c;
    ASSERT_TRUE(ring.Take(&c));
    EXPECT_EQ(c, 'X');
}

TEST_F(CollectReplyTest, PassesGoOnUntilTheClockHasMovedTheLimit) {
    ScriptClock({100, 101, 102, 103, 104});
    CollectReply(ring, dest.data(), 10, 3, driver);
    EXPECT_EQ(Dest(), "abc");
}

TEST_F(CollectReplyTest, FirstPassIsAlwaysMade) {
    for (std::int32_t limit : {0, -5}) {
        char c;
        while (ring.Take(&c)) {
        }
        dest.fill(0);
        readings_taken = 0;
        ScriptClock({100, 100});
        CollectReply(ring, dest.data(), 10, limit, driver);
        EXPECT_EQ(Dest(), "a") << "limit " << limit;
    }
}

TEST_F(CollectReplyTest, ClockGoingBackKeepsCollecting) {
    ScriptClock({100, 90, 99, 103});
    CollectReply(ring, dest.data(), 10, 3, driver);
    EXPECT_EQ(Dest(), "abc");
}

TEST_F(CollectReplyTest, NothingWantedWritesNothing) {
    ring.Append("z", 1);
    dest.fill('#');
    CollectReply(ring, dest.data(), 0, 3, driver);
    CollectReply(ring, dest.data(), -1, 3, driver);
    EXPECT_EQ(dest[0], '#');
    EXPECT_FALSE(ring.Empty());
}

TEST_F(CollectReplyTest, SilentLineEndsAtTheDeadlineWithDestinationUntouched) {
    driver.SetTime(500, 1);
    CollectReply(ring, dest.data(), 12, 3, driver);
    EXPECT_EQ(Dest(), "");
}

// An unanswered collection sleeps on the doorbell between passes instead of spinning.
TEST_F(CollectReplyTest, EmptyRingIsNotBusyPolled) {
    const auto start = std::chrono::steady_clock::now();
    int readings = 0;
    driver.SetClock([&] {
        ++readings;
        return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(100) ? 7 : 8;
    });
    CollectReply(ring, dest.data(), 12, 1, driver);
    EXPECT_LT(readings, 100);
}

}  // namespace
}  // namespace countryset
