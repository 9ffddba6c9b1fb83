#include "serial/receive_ring.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include "serial_fixture.h"

namespace countryset::testing {
namespace {

TEST(ReceiveRingTest, IndicesWrapAfter2049BytesAndAFullRingDropsAndTellsTheLoss) {
    SerialRig r;
    std::string bytes(ReceiveRing::kSlots, '\0');  // a zero byte every 251
    std::ranges::generate(bytes, [i = 0]() mutable { return static_cast<char>(i++ % 251); });
    r.ring.Append(bytes.data(), 1500);  // half first, so the ring does not fill
    std::string taken = TakeAll(r.ring);
    r.ring.Append(bytes.data() + 1500, ReceiveRing::kSlots - 1500);
    EXPECT_EQ(r.ring.WriteIndex(), 0);
    EXPECT_EQ(r.ring.Slot(2048), bytes[2048]);
    taken += TakeAll(r.ring);
    EXPECT_EQ(r.ring.ReadIndex(), 0);
    EXPECT_EQ(taken, bytes);
    EXPECT_FALSE(r.ring.TakeOverrun());
    // 2049 unread: the last finds the ring full and is dropped; what was kept stays as it came.
    r.ring.Append(bytes.data(), ReceiveRing::kSlots);
    EXPECT_EQ(r.ring.Unread(), ReceiveRing::kCapacity);
    r.ring.Append("bc", 2);
    EXPECT_EQ(TakeAll(r.ring), bytes.substr(0, ReceiveRing::kCapacity));
    EXPECT_TRUE(r.ring.TakeOverrun());
    EXPECT_FALSE(r.ring.TakeOverrun()) << "told once";
}

// Bytes lost on the way void the collection that follows, however well what is left reads: a
// burst of stray bytes may leave exactly the expected reply behind.
TEST(CollectReplyTest, ALossFailsTheCollectionAndLeavesNothingOfIt) {
    const std::string exact = "ATZE1\r\r\nOK\r\n";
    for (const std::size_t burst : {std::size_t{2049}, std::size_t{4097}}) {
        SCOPED_TRACE(burst);
        SerialRig r;
        r.driver.SetClock([] { return std::time_t{0}; });
        const std::string stray(burst, 'x');
        r.ring.Append(stray.data(), static_cast<std::uint32_t>(stray.size()));
        TakeAll(r.ring);  // a reader that caught up after the loss
        r.ring.Append(exact.data(), static_cast<std::uint32_t>(exact.size()));
        std::string dest(16, '\0');
        const ReplyResult got = CollectReply(r.ring, dest.data(), 12, 3, r.driver);
        EXPECT_EQ(got.end, ReplyEnd::Overrun);
        EXPECT_EQ(got.taken, 0);
        EXPECT_EQ(dest, std::string(16, '\0'));
        // The loss is told once: the next collection is judged on its own bytes.
        r.ring.Append(exact.data(), static_cast<std::uint32_t>(exact.size()));
        EXPECT_EQ(CollectReply(r.ring, dest.data(), 12, 3, r.driver).end, ReplyEnd::Complete);
        EXPECT_EQ(dest.substr(0, 12), exact);
    }
}

// A collection up to the final result code ends on OK or ERROR, not on a line that merely
// holds them, and says when the destination filled first.
TEST(CollectReplyTest, AnswersEndOnTheFinalResultCode) {
    const std::tuple<const char*, std::string, std::size_t, ReplyEnd, std::string> cases[] = {
        {"OK", "AT+GCI?\r\r\n+GCI: 3D\r\n\r\nOK\r\nrest", 64, ReplyEnd::Complete,
         "AT+GCI?\r\r\n+GCI: 3D\r\n\r\nOK\r\n"},
        {"ERROR", "AT+GCI?\r\r\nERROR\r\n", 64, ReplyEnd::Complete, "AT+GCI?\r\r\nERROR\r\n"},
        {"OK inside a line", "x\r\nOKAY\r\n", 64, ReplyEnd::TimedOut, "x\r\nOKAY\r\n"},
        {"no room", "0123456789\r\nOK\r\n", 8, ReplyEnd::Full, "01234567"},
    };
    for (const auto& [name, queued, room, end, taken] : cases) {
        SCOPED_TRACE(name);
        SerialRig r;
        std::uint64_t now = 0;
        r.driver.SetTickClock([&] { return now += 500; });
        r.ring.Append(queued.data(), static_cast<std::uint32_t>(queued.size()));
        std::string dest(room, '\0');
        const ReplyResult got = CollectReply(ReplySource{r.ring, r.driver}, dest,
                                             ReplyRule{ReplyEndsAt::FinalResult, 0, 3});
        EXPECT_EQ(got.end, end);
        EXPECT_EQ(dest.substr(0, static_cast<std::size_t>(got.taken)), taken);
    }
}

// Each tick-clock reading gives the next scripted millisecond; past the script the clock jumps
// far ahead, so the number of readings counts the passes and a fault cannot hang the test.
TEST(CollectReplyTest, PassesEndWhenTheCountIsTakenOrTheWholeLimitHasPassed) {
    // Queued bytes, count, limit, clock readings, bytes taken, bytes left, readings made.
    using Clock = std::vector<std::uint64_t>;
    const std::tuple<const char*, std::string, std::int32_t, std::int32_t, Clock, std::string,
                     std::string, std::size_t>
        cases[] = {
            {"complete at once", "ATZE1\r\r\nOK\r\nXY", 12, 3, Clock(13, 100), "ATZE1\r\r\nOK\r\n",
             "XY", 13},
            // Begun late in a second: three whole seconds all the same, and not a millisecond more.
            {"silence: exactly the limit",
             "",
             12,
             3,
             {2'999'900, 3'000'000, 3'002'899, 3'002'900},
             "",
             "",
             4},
            {"limit of one second", "", 12, 1, {7'000'500, 7'001'499, 7'001'500}, "", "", 3},
            // At the deadline what is already queued is taken before judging.
            {"limit of none", "xy", 12, 0, {100, 100}, "xy", "", 2},
            {"nothing wanted", "xy", 0, 3, {100}, "", "xy", 1},
        };
    for (const auto& [name, queued, count, limit, clock, taken, left, readingsMade] : cases) {
        SCOPED_TRACE(name);
        SerialRig r;
        r.ring.Append(queued.data(), static_cast<std::uint32_t>(queued.size()));
        std::size_t readings = 0;
        r.driver.SetTickClock([&, &clock = clock] {
            const std::size_t i = readings++;
            return i < clock.size() ? clock[i] : std::uint64_t{1} << 40;
        });
        std::string dest(16, '#');
        CollectReply(r.ring, dest.data(), count, limit, r.driver);
        EXPECT_EQ(dest.substr(0, dest.find('#')), taken) << "the rest is left untouched";
        EXPECT_EQ(TakeAll(r.ring), left);
        EXPECT_EQ(readings, readingsMade);
    }
}

// A writer playing the watcher (never overrunning) and a reader collecting, side by side.
TEST(ReceiveRingTest, MillionBytesThroughAConcurrentReaderByteForByte) {
    constexpr std::int32_t kTotal = 1'000'000, kSlots = ReceiveRing::kSlots;
    std::string sent(kTotal, '\0'), received(kTotal, '\0');
    std::ranges::generate(sent, [i = 0]() mutable { return static_cast<char>(i++ * 7); });
    SerialRig r;
    r.driver.SetClock([] { return std::time_t{0}; });  // no deadline
    std::atomic<bool> readerDone{false};  // so a reader that stops early cannot hang the writer
    std::thread writer([&] {
        for (std::int32_t done = 0; done < kTotal && !readerDone; std::this_thread::yield()) {
            const std::int32_t room =
                (r.ring.ReadIndex() - r.ring.WriteIndex() - 1 + kSlots) % kSlots;
            const std::int32_t n = std::min(room, kTotal - done);
            r.ring.Append(sent.data() + done, static_cast<std::uint32_t>(n));
            done += n;
        }
    });
    for (std::int32_t got = 0; got < kTotal; got += 1000) {
        CollectReply(r.ring, received.data() + got, 1000, 1, r.driver);
    }
    readerDone = true;
    writer.join();
    EXPECT_TRUE(received == sent)
        << "first difference at byte "
        << std::mismatch(received.begin(), received.end(), sent.begin()).first - received.begin();
    EXPECT_TRUE(r.ring.Empty());
}

}  // namespace
}  // namespace countryset::testing
