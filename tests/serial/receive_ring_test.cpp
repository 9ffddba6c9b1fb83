#include "serial/receive_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serial/collect_reply.h"
#include "support/fake_comm_driver.h"

namespace countryset {
namespace {

class ReceiveRingTest : public ::testing::Test {
protected:
    std::string TakeAll() {
        std::string taken;
        char c;
        while (ring.Take(&c)) {
            taken.push_back(c);
        }
        return taken;
    }

    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring{storage.data()};
};

TEST_F(ReceiveRingTest, BytesComeOutInOrderIncludingZero) {
    EXPECT_TRUE(ring.Empty());
    const char bytes[] = {'O', '\0', 'K'};
    ring.Append(bytes, 3);
    EXPECT_EQ(TakeAll(), std::string(bytes, 3));
    EXPECT_TRUE(ring.Empty());
    char c = 'x';
    EXPECT_FALSE(ring.Take(&c));
    EXPECT_EQ(c, 'x');
}

TEST_F(ReceiveRingTest, BothIndicesWrapToZeroAfter2049Bytes) {
    std::vector<char> bytes(ReceiveRing::kSlots);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    // Half first, so the reader keeps the ring from overrunning.
    ring.Append(bytes.data(), 1500);
    EXPECT_EQ(TakeAll().size(), 1500u);
    ring.Append(bytes.data() + 1500, ReceiveRing::kSlots - 1500);
    EXPECT_EQ(ring.WriteIndex(), 0);
    EXPECT_EQ(ring.Slot(2048), bytes[2048]);
    const std::string rest = TakeAll();
    EXPECT_EQ(rest, std::string(bytes.begin() + 1500, bytes.end()));
    EXPECT_EQ(ring.ReadIndex(), 0);
}

TEST_F(ReceiveRingTest, OverrunReadsAsEmptyThenYieldsTheNewerBytes) {
    std::vector<char> bytes(ReceiveRing::kSlots, 'a');
    ring.Append(bytes.data(), bytes.size());
    EXPECT_TRUE(ring.Empty());
    ring.Append("bc", 2);
    EXPECT_EQ(TakeAll(), "bc");
}

TEST_F(ReceiveRingTest, WaitReturnsAtOnceWhenBytesArriveAndTimesOutOtherwise) {
    EXPECT_FALSE(ring.WaitForBytes(std::chrono::milliseconds(1)));
    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ring.Append("x", 1);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ring.WaitForBytes(std::chrono::seconds(20)));
    writer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// One writer playing the watcher (never overrunning), one reader collecting: every byte
// arrives once, in order.
TEST(ReceiveRingStress, MillionBytesThroughAConcurrentReader) {
    constexpr std::int32_t kTotal = 1'000'000;
    constexpr std::int32_t kChunk = 1000;
    std::array<char, ReceiveRing::kSlots> storage{};
    ReceiveRing ring(storage.data());
    testing::FakeCommDriver clock;

    std::thread writer([&ring] {
        char block[512];
        std::int32_t sent = 0;
        while (sent < kTotal) {
            const std::int32_t free =
                (ring.ReadIndex() - ring.WriteIndex() - 1 + ReceiveRing::kSlots) %
                ReceiveRing::kSlots;
            const std::int32_t n =
                std::min({free, static_cast<std::int32_t>(sizeof block), kTotal - sent});
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            for (std::int32_t i = 0; i < n; ++i) {
                block[i] = static_cast<char>((sent + i) * 7 % 256);
            }
            ring.Append(block, static_cast<std::uint32_t>(n));
            sent += n;
        }
    });
    std::vector<char> received(kChunk);
    std::int32_t mismatches = 0;
    for (std::int32_t got = 0; got < kTotal; got += kChunk) {
        CollectReply(ring, received.data(), kChunk, 1, clock);
        for (std::int32_t i = 0; i < kChunk; ++i) {
            mismatches += received[i] != static_cast<char>((got + i) * 7 % 256);
        }
    }
    writer.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_TRUE(ring.Empty());
}

}  // namespace
}  // namespace countryset
