#include "serial/comm_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_comm_driver.h"
#include "support/recording_messages.h"

namespace countryset {
namespace {

using testing::AppMessage;
using ::testing::ElementsAre;
using testing::FakeCommDriver;
using ::testing::IsEmpty;
using testing::RecordingMessages;
using testing::TransferScript;

class CommPortTest : public ::testing::Test {
protected:
    void CreateAndOpen() {
        ASSERT_TRUE(port.CreatePortState());
        ASSERT_TRUE(port.OpenPort());
    }

    FakeCommDriver driver;
    RecordingMessages messages;
    CCommPort port{driver, messages};
};

TEST_F(CommPortTest, NewRecordHoldsTheFixedLineSettings) {
    ASSERT_TRUE(port.CreatePortState());
    const PortState& s = *port.State();
    EXPECT_EQ(s.hPort, kNullHandle);
    EXPECT_EQ(s.byPortNumber, 1);
    EXPECT_EQ(s.dwBaudRate, 38400u);
    EXPECT_EQ(s.byByteSize, 8);
    EXPECT_EQ(s.byParity, 0);
    EXPECT_EQ(s.byStopBits, 0);
    EXPECT_EQ(s.byHandshake, 0);
    EXPECT_EQ(s.fRunning.load(), 0);
    EXPECT_EQ(s.dwWatcherId.load(), 0u);
    EXPECT_EQ(s.hWatcher.load(), 0u);
    EXPECT_NE(s.osRead.hEvent, kNullHandle);
    EXPECT_NE(s.osWrite.hEvent, kNullHandle);
    EXPECT_NE(s.osRead.hEvent, s.osWrite.hEvent);
}

// Allocation, read event, write event: whichever fails, nothing is left behind.
TEST_F(CommPortTest, FailedCreationLeavesNoRecordAndNoEvents) {
    {
        FakeCommDriver d;
        CCommPort p(d, messages);
        p.SetStateAllocator([] { return std::unique_ptr<PortState>(); });
        EXPECT_FALSE(p.CreatePortState());
        EXPECT_EQ(p.State(), nullptr);
        EXPECT_THAT(d.Calls(), IsEmpty());
    }
    for (int failing : {1, 2}) {
        FakeCommDriver d;
        d.FailCreateEvent(failing);
        {
            CCommPort p(d, messages);
            EXPECT_FALSE(p.CreatePortState()) << "event " << failing;
            EXPECT_EQ(p.State(), nullptr);
            EXPECT_EQ(d.OpenEvents(), 0) << "event " << failing;
        }
        EXPECT_EQ(d.BadCloses(), 0);
    }
    EXPECT_THAT(messages.Messages(), IsEmpty());
}

TEST_F(CommPortTest, WithoutRecordEveryOperationDoesNothing) {
    char buffer[8] = {};
    EXPECT_FALSE(port.OpenPort());
    EXPECT_FALSE(port.ConfigurePort());
    port.ClosePort();
    EXPECT_FALSE(port.WriteBlock("ATZE1\r", 6));
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 0u);
    EXPECT_THAT(driver.Calls(), IsEmpty());
    EXPECT_THAT(messages.Messages(), IsEmpty());
}

TEST_F(CommPortTest, OpenPortNamesThePortAndSetsItUpInOrder) {
    ASSERT_TRUE(port.CreatePortState());
    port.State()->byPortNumber = 8;
    ASSERT_TRUE(port.OpenPort());
    EXPECT_THAT(driver.Calls(), ElementsAre("CreateEvent", "CreateEvent", "CreateFile COM8",
                                            "SetCommMask 1", "SetupComm 2048 2048", "PurgeComm 15",
                                            "SetCommTimeouts", "GetCommState 28", "SetCommState"));
    const CommTimeouts t = *driver.LastTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(driver.OpenPorts(), 1);
}

TEST_F(CommPortTest, ConfigureSetsTheTableAndKeepsTheDriversOtherFields) {
    CreateAndOpen();
    const DCB d = *driver.LastDcb();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 38400u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(d.XonLim, 100);
    EXPECT_EQ(d.XoffLim, 100);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x07);
    // The fake driver reports marked values for these; they must come back unchanged.
    EXPECT_EQ(d.fDsrSensitivity, 1u);
    EXPECT_EQ(d.fTXContinueOnXoff, 1u);
    EXPECT_EQ(d.fErrorChar, 1u);
    EXPECT_EQ(d.fNull, 1u);
    EXPECT_EQ(d.fAbortOnError, 1u);
    EXPECT_EQ(d.ErrorChar, '?');
    EXPECT_EQ(d.EofChar, 0x1a);
    EXPECT_EQ(d.EvtChar, '\n');
}

TEST_F(CommPortTest, HandshakeFlagsSelectHandshakeControl) {
    ASSERT_TRUE(port.CreatePortState());
    port.State()->byHandshake = kHandshakeDsrDtr | kHandshakeCtsRts;
    ASSERT_TRUE(port.OpenPort());
    const DCB d = *driver.LastDcb();
    EXPECT_EQ(d.fOutxDsrFlow, 1u);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(d.fOutxCtsFlow, 1u);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

TEST_F(CommPortTest, MissingPortTouchesNothingElse) {
    ASSERT_TRUE(port.CreatePortState());
    port.State()->byPortNumber = 3;
    driver.SetPortExists("COM3", false);
    EXPECT_FALSE(port.OpenPort());
    EXPECT_THAT(driver.Calls(), ElementsAre("CreateEvent", "CreateEvent", "CreateFile COM3"));
    EXPECT_EQ(port.State()->hPort, kInvalidHandleValue);
    EXPECT_EQ(port.State()->fRunning.load(), 0);
}

TEST_F(CommPortTest, RefusedLineSettingsCloseTheHandle) {
    ASSERT_TRUE(port.CreatePortState());
    driver.RefuseLineSettings(true);
    EXPECT_FALSE(port.OpenPort());
    EXPECT_EQ(driver.Calls().back(), "CloseHandle port");
    EXPECT_EQ(driver.OpenPorts(), 0);
}

TEST_F(CommPortTest, ReadNeverAsksForMoreThanIsQueued) {
    CreateAndOpen();
    char buffer[2048];
    driver.PushIncoming("12345");
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer, 5), "12345");
    EXPECT_EQ(driver.Calls().back(), "ReadFile 5");

    driver.PushIncoming("abcdefghij");
    EXPECT_EQ(port.ReadAvailable(buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(driver.QueuedIncoming(), 6u);

    driver.PurgeComm(port.State()->hPort, kPurgeAll);
    const auto readsBefore = driver.Calls({"ReadFile"}).size();
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 0u);
    EXPECT_EQ(driver.Calls({"ReadFile"}).size(), readsBefore);
}

TEST_F(CommPortTest, PendingAndFailedReads) {
    CreateAndOpen();
    char buffer[16];
    driver.PushIncoming("xyz");
    driver.QueueReadScript({IoStatus::Pending, 2, IoStatus::Finished, {}});
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 3u);
    EXPECT_THAT(driver.DebugOutput(), ElementsAre("\n\rIO PENDING"));
    EXPECT_EQ(driver.Calls({"GetOverlappedResult"}).size(), 3u);

    // Ending in an error after it started: the count last reported stands.
    driver.PushIncoming("xyz");
    driver.QueueReadScript({IoStatus::Pending, 0, IoStatus::Failed, 2u});
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 2u);
    EXPECT_EQ(driver.Calls().back(), "ClearCommError");

    driver.QueueReadScript({IoStatus::Failed, 0, IoStatus::Finished, {}});
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 0u);
    EXPECT_EQ(driver.Calls().back(), "ClearCommError");
}

TEST_F(CommPortTest, ReadNeverReportsMoreThanItAskedFor) {
    CreateAndOpen();
    char buffer[4];
    driver.PushIncoming("abcdefghij");
    driver.QueueReadScript({IoStatus::Finished, 0, IoStatus::Finished, 4000u});
    EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 4u);
}

TEST_F(CommPortTest, WriteResults) {
    CreateAndOpen();
    EXPECT_TRUE(port.WriteBlock("ATZE1\r", 6));
    EXPECT_EQ(driver.Written(), "ATZE1\r");
    EXPECT_THAT(messages.Messages(), IsEmpty());

    driver.QueueWriteScript({IoStatus::Pending, 3, IoStatus::Finished, {}});
    EXPECT_TRUE(port.WriteBlock("ATZE1\r", 6));
    EXPECT_EQ(driver.Calls({"GetOverlappedResult"}).size(), 4u);
    EXPECT_THAT(messages.Messages(), IsEmpty());

    // A short write is told by its count and is not a success.
    driver.QueueWriteScript({IoStatus::Finished, 0, IoStatus::Finished, 4u});
    EXPECT_FALSE(port.WriteBlock("ATZE1\r", 6));
    EXPECT_THAT(messages.Messages(), ElementsAre(AppMessage("4")));

    driver.QueueWriteScript({IoStatus::Pending, 0, IoStatus::Failed, 2u});
    EXPECT_FALSE(port.WriteBlock("ATZE1\r", 6));
    EXPECT_EQ(messages.Messages().back(), AppMessage("2"));
    EXPECT_EQ(driver.Calls({"ClearCommError"}).size(), 1u);

    driver.QueueWriteScript({IoStatus::Failed, 0, IoStatus::Finished, {}});
    EXPECT_FALSE(port.WriteBlock("ATZE1\r", 6));
    EXPECT_EQ(messages.Messages().size(), 2u);
    EXPECT_EQ(driver.Calls().back(), "ClearCommError");
}

TEST_F(CommPortTest, CloseWithoutWatcherDoesNotPause) {
    CreateAndOpen();
    const auto before = driver.Calls().size();
    port.ClosePort();
    const auto calls = driver.Calls();
    EXPECT_THAT(
        std::vector<std::string>(calls.begin() + before, calls.end()),
        ElementsAre("SetCommMask 0", "EscapeCommFunction 6", "PurgeComm 15", "CloseHandle port"));
}

TEST_F(CommPortTest, ClosePollsUntilTheWatcherIdentityClears) {
    CreateAndOpen();
    PortState& s = *port.State();
    s.fRunning.store(1);
    s.dwWatcherId.store(42);
    // The watcher stands for one that ends 250 ms into the close.
    driver.SetSleepHook([&s](std::uint32_t slept) {
        EXPECT_EQ(s.fRunning.load(), 0) << "flag cleared before the first pause";
        if (slept >= 250) {
            s.dwWatcherId.store(0);
        }
    });
    port.ClosePort();
    EXPECT_THAT(driver.Sleeps(), ElementsAre(100u, 100u, 100u));
    EXPECT_EQ(driver.Calls({"SetCommMask", "Sleep", "EscapeCommFunction"}),
              (std::vector<std::string>{"SetCommMask 1", "SetCommMask 0", "Sleep 100", "Sleep 100",
                                        "Sleep 100", "EscapeCommFunction 6"}));
}

TEST_F(CommPortTest, ReopeningUsesTheSameRecordAndEvents) {
    CreateAndOpen();
    const PortState* record = port.State();
    const CommHandle readEvent = record->osRead.hEvent;
    const CommHandle writeEvent = record->osWrite.hEvent;
    port.ClosePort();
    ASSERT_TRUE(port.OpenPort());
    EXPECT_EQ(port.State(), record);
    EXPECT_EQ(record->osRead.hEvent, readEvent);
    EXPECT_EQ(record->osWrite.hEvent, writeEvent);
    EXPECT_EQ(driver.Calls({"CreateEvent"}).size(), 2u);
}

}  // namespace
}  // namespace countryset
