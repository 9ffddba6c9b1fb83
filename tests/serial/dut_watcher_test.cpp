#include "serial/dut_watcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "serial/collect_reply.h"
#include "serial_fixture.h"

namespace countryset {
namespace {

using testing::AppMessage;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DutWatcherTest : public testing::SerialFixture {
protected:
    std::string Collect(std::int32_t count) {
        std::string got(static_cast<std::size_t>(count), '\0');
        CollectReply(ring, got.data(), count, 10, driver);
        return got;
    }
};

TEST_F(DutWatcherTest, MovesEveryReceivedByteIntoTheRingInOrder) {
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(port.StartWatcher(ring));
    std::string big(3000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i % 256);
    }
    // More than one read's worth arrives at once; the drain reads 2048, then the rest.
    driver.PushIncoming(big.substr(0, 2000));
    EXPECT_EQ(Collect(2000), big.substr(0, 2000));
    driver.PushIncoming(big.substr(2000));
    EXPECT_EQ(Collect(1000), big.substr(2000));
    for (const auto& read : driver.Calls({"ReadFile"})) {
        EXPECT_NE(read, "ReadFile 0");
    }
    port.ClosePort();
    const PortState& s = *port.State();
    EXPECT_EQ(s.dwWatcherId.load(), 0u);
    EXPECT_EQ(s.hWatcher.load(), 0u);
    EXPECT_EQ(driver.OpenEvents(), 2) << "the watcher's own event is closed";
    EXPECT_THAT(messages.Messages(), IsEmpty());
}

TEST_F(DutWatcherTest, StartStoresFlagIdentityAndHandle) {
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(port.StartWatcher(ring));
    const PortState& s = *port.State();
    EXPECT_EQ(s.fRunning.load(), 1);
    const auto first = s.dwWatcherId.load();
    EXPECT_NE(first, 0u);
    EXPECT_NE(s.hWatcher.load(), 0u);
    port.ClosePort();
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(port.StartWatcher(ring));
    EXPECT_NE(s.dwWatcherId.load(), 0u);
    EXPECT_NE(s.dwWatcherId.load(), first);
}

TEST_F(DutWatcherTest, WithoutItsEventItSaysSoOnceAndEnds) {
    driver.FailCreateEvent(3);
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(port.StartWatcher(ring));
    ASSERT_TRUE(WaitUntil([&] { return port.State()->dwWatcherId.load() == 0; }));
    EXPECT_EQ(port.State()->hWatcher.load(), 0u);
    EXPECT_THAT(messages.Messages(), ElementsAre(AppMessage("Failed to create event for thread!")));
    driver.PushIncoming("lost");
    port.ClosePort();
    EXPECT_TRUE(ring.Empty());
    EXPECT_THAT(driver.Sleeps(), IsEmpty());
    EXPECT_THAT(driver.Calls({"WaitCommEvent"}), IsEmpty());
}

TEST_F(DutWatcherTest, RefusedMaskEndsItSilently) {
    // No port open: setting the mask fails.
    ASSERT_TRUE(port.StartWatcher(ring));
    ASSERT_TRUE(WaitUntil([&] { return port.State()->dwWatcherId.load() == 0; }));
    EXPECT_THAT(messages.Messages(), IsEmpty());
    EXPECT_EQ(driver.OpenEvents(), 2);
    EXPECT_THAT(driver.Calls({"WaitCommEvent"}), IsEmpty());
}

TEST_F(DutWatcherTest, NoThreadLeavesTheFlagClear) {
    driver.FailCreateThread(true);
    ASSERT_TRUE(port.OpenPort());
    EXPECT_FALSE(port.StartWatcher(ring));
    EXPECT_EQ(port.State()->fRunning.load(), 0);
    EXPECT_EQ(port.State()->dwWatcherId.load(), 0u);
    EXPECT_EQ(port.State()->hWatcher.load(), 0u);
}

}  // namespace
}  // namespace countryset
