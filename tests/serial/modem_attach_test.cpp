#include "serial/modem_attach.h"

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
using testing::WindowMessage;

const auto kNoModem = WindowMessage("Can't find modem at the selected COM port.", "Error", 16);
const auto kBadProbe =
    WindowMessage("Can't initialise modem at the selected COM port.", "Error", 16);

class ModemAttachTest : public testing::SerialFixture {
protected:
    bool Attach() { return AttachModem(port, ring, reply, messages); }

    void ExpectOpenWithWatcher() {
        const PortState& s = *port.State();
        EXPECT_EQ(driver.OpenPorts(), 1);
        EXPECT_EQ(s.fRunning.load(), 1);
        EXPECT_NE(s.dwWatcherId.load(), 0u);
        EXPECT_NE(s.hWatcher.load(), 0u);
        EXPECT_TRUE(driver.Dtr());
    }
};

TEST_F(ModemAttachTest, ExactAnswerAttaches) {
    AnswerProbeWith("ATZE1\r\r\nOK\r\n");
    reply.fill('#');
    EXPECT_TRUE(Attach());
    EXPECT_EQ(Reply(), "ATZE1\r\r\nOK\r\n");
    EXPECT_EQ(driver.Written(), "ATZE1\r");
    EXPECT_THAT(
        driver.Calls({"CreateFile", "CreateThread", "EscapeCommFunction", "WriteFile"}),
        ElementsAre("CreateFile COM1", "CreateThread", "EscapeCommFunction 5", "WriteFile 6"));
    ExpectOpenWithWatcher();
    EXPECT_THAT(messages.Messages(), IsEmpty());
}

TEST_F(ModemAttachTest, MissingPortSendsNothing) {
    port.State()->byPortNumber = 5;
    driver.SetPortExists("COM5", false);
    EXPECT_FALSE(Attach());
    EXPECT_THAT(messages.Messages(), ElementsAre(kNoModem));
    EXPECT_THAT(driver.Calls({"CreateThread", "WriteFile", "EscapeCommFunction"}), IsEmpty());
    EXPECT_EQ(port.State()->hPort, kInvalidHandleValue);
    EXPECT_EQ(port.State()->fRunning.load(), 0);
}

TEST_F(ModemAttachTest, NoWatcherThreadClosesTheHandleOnly) {
    driver.FailCreateThread(true);
    EXPECT_FALSE(Attach());
    EXPECT_THAT(messages.Messages(),
                ElementsAre(AppMessage("Failed to create DUT watching Thread")));
    const auto calls = driver.Calls();
    EXPECT_THAT(std::vector<std::string>(calls.end() - 2, calls.end()),
                ElementsAre("CreateThread", "CloseHandle port"));
    EXPECT_EQ(driver.OpenPorts(), 0);
    EXPECT_EQ(port.State()->fRunning.load(), 0);
    EXPECT_FALSE(driver.Dtr());
}

class ProbeRejected : public ModemAttachTest,
                      public ::testing::WithParamInterface<std::pair<std::string, int>> {};

TEST_P(ProbeRejected, LeavesThePortOpenWithItsWatcher) {
    const auto& [answer, arriving] = GetParam();
    AnswerProbeWith(answer);
    DeadlineAfterBytes(arriving);
    EXPECT_FALSE(Attach());
    EXPECT_THAT(messages.Messages(), ElementsAre(kBadProbe));
    EXPECT_THAT(driver.Calls({"WriteFile"}), ElementsAre("WriteFile 6")) << "no retry";
    ExpectOpenWithWatcher();
}

INSTANTIATE_TEST_SUITE_P(Answers, ProbeRejected,
                         ::testing::Values(std::pair<std::string, int>{"\r\nOK\r\n", 6},
                                           std::pair<std::string, int>{"xATZE1\r\r\nOK\r\n", 13},
                                           std::pair<std::string, int>{"ATZE1\r\r\nOK\r", 11},
                                           std::pair<std::string, int>{"atze1\r\r\nok\r\n", 12},
                                           std::pair<std::string, int>{"", 0}));

TEST_F(ModemAttachTest, BytesPastTheProbeReplyAreCollectedNext) {
    AnswerProbeWith("ATZE1\r\r\nOK\r\nXY");
    EXPECT_TRUE(Attach());
    ASSERT_TRUE(WaitUntil([&] { return ring.WriteIndex() == 14; }));
    char next[3] = {};
    CollectReply(ring, next, 2, 3, driver);
    EXPECT_STREQ(next, "XY");
}

TEST_F(ModemAttachTest, ReattachEndsTheOldWatcherFirstAndKeepsTheRing) {
    AnswerProbeWith("ATZE1\r\r\nOK\r\n");
    ASSERT_TRUE(Attach());
    const auto firstWatcher = port.State()->dwWatcherId.load();
    ASSERT_TRUE(Attach());
    auto calls = driver.Calls({"CreateFile", "CloseHandle", "EscapeCommFunction", "SetCommMask"});
    // The watchers set their own mask at a moment of their choosing.
    std::erase(calls, "SetCommMask 1");
    EXPECT_THAT(calls, ElementsAre("CreateFile COM1", "EscapeCommFunction 5", "SetCommMask 0",
                                   "CloseHandle event",  // the old watcher has ended
                                   "EscapeCommFunction 6", "CloseHandle port", "CreateFile COM1",
                                   "EscapeCommFunction 5"));
    EXPECT_NE(port.State()->dwWatcherId.load(), firstWatcher);
    EXPECT_EQ(ring.WriteIndex(), 24);
    EXPECT_EQ(ring.ReadIndex(), 24);
    ExpectOpenWithWatcher();
}

TEST_F(ModemAttachTest, WatcherWithoutEventFailsTheProbe) {
    AnswerProbeWith("ATZE1\r\r\nOK\r\n");
    driver.FailCreateEvent(3);
    DeadlineWhen([this] { return port.State()->dwWatcherId.load() == 0; });
    EXPECT_FALSE(Attach());
    EXPECT_THAT(messages.Messages(),
                ElementsAre(AppMessage("Failed to create event for thread!"), kBadProbe));
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(port.State()->fRunning.load(), 1) << "the caller closes the port";
    port.ClosePort();
    EXPECT_THAT(driver.Sleeps(), IsEmpty());
    EXPECT_EQ(driver.OpenPorts(), 0);
}

}  // namespace
}  // namespace countryset
