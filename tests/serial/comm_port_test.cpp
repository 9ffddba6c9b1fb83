#include "serial/comm_port.h"

#include "serial_fixture.h"

namespace countryset::testing {
namespace {

using enum IoStatus;

// Allocation, read event, write event: whichever fails, nothing is left behind, and without a
// record every operation does nothing and returns 0 or false.
TEST(CommPortTest, FailedCreationLeavesNoRecordAndEveryOperationDoesNothing) {
    const std::vector<Calls> callsWhenFailing = {
        {}, {"CreateEvent failed"}, {"CreateEvent", "CreateEvent failed", "CloseHandle event"}};
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        FakeCommDriver driver;
        RecordingMessages messages;
        {
            CCommPort port(driver, messages);
            if (failing == 0) {
                port.SetStateAllocator([] { return std::unique_ptr<PortState>(); });
            }
            driver.FailCreateEvent(failing);
            EXPECT_FALSE(port.CreatePortState());
            EXPECT_EQ(port.State(), nullptr);
            char buffer[8];
            EXPECT_FALSE(port.OpenPort());
            EXPECT_FALSE(port.ConfigurePort());
            port.ClosePort();
            EXPECT_FALSE(port.WriteBlock("ATZE1\r", 6));
            EXPECT_EQ(port.ReadAvailable(buffer, sizeof buffer), 0u);
        }
        EXPECT_EQ(driver.Calls(), callsWhenFailing[failing]);  // every event made is closed
        EXPECT_TRUE(messages.Messages().empty());
    }
}

// An opened port waits for received bytes and starts with nothing left from before; a read
// returns what is queued, or waits up to a second for a first byte; a write gives up after a
// second. A missing (or held) port
// stops at the open and touches nothing more; refused line settings close the handle.
TEST(CommPortTest, OpenPortSetsUpCom8OrLeavesNothingOpen) {
    for (auto [missing, refused] : {std::pair{false, false}, {true, false}, {false, true}}) {
        SCOPED_TRACE(::testing::Message() << "missing " << missing << " refused " << refused);
        SerialRig r;
        r.port.State()->wPortNumber = 8;
        r.driver.SetPortExists("COM8", !missing);
        r.driver.RefuseLineSettings(refused);
        r.driver.PushIncoming("stale");
        r.driver.ClearCalls();
        EXPECT_EQ(r.port.OpenPort(), !missing && !refused);
        EXPECT_EQ(r.driver.Calls({"CreateFile"}), Calls{"CreateFile COM8"});
        EXPECT_EQ(r.driver.OpenPorts(), !missing && !refused ? 1 : 0);
        EXPECT_EQ(r.port.State()->fRunning.load(), 0);
        if (missing) {
            EXPECT_EQ(r.driver.Calls().size(), 1u);
            EXPECT_EQ(r.port.State()->hPort, kInvalidHandleValue);
            continue;
        }
        EXPECT_EQ(r.driver.QueuedIncoming(), 0u);
        EXPECT_EQ(r.driver.Mask(), kEvRxChar);
        const std::optional<CommTimeouts> t = r.driver.LastTimeouts();
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(
            (std::vector<std::uint32_t>{t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                                        t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutConstant}),
            (std::vector<std::uint32_t>{0xFFFFFFFF, 0, 1000, 1000}));
        EXPECT_EQ(r.driver.LastDcb().has_value(), !refused);
    }
}

// The fake port holds another program's leftovers in every field (flow control of both
// kinds, a stop character, DSR sensitivity, abort on error, an event character): none survive.
TEST(CommPortTest, ConfigureSetsEveryFieldAndKeepsNoLeftover) {
    SerialRig r;
    ASSERT_TRUE(r.port.OpenPort());
    const DCB d = *r.driver.LastDcb();
    using Fields = std::vector<std::int64_t>;
    EXPECT_EQ(
        (Fields{
            d.DCBlength,    d.BaudRate,    d.fBinary,         d.fParity,           d.fOutxCtsFlow,
            d.fOutxDsrFlow, d.fDtrControl, d.fDsrSensitivity, d.fTXContinueOnXoff, d.fOutX,
            d.fInX,         d.fErrorChar,  d.fNull,           d.fRtsControl,       d.fAbortOnError,
            d.fDummy2,      d.wReserved,   d.XonLim,          d.XoffLim,           d.ByteSize,
            d.Parity,       d.StopBits,    d.XonChar,         d.XoffChar,          d.ErrorChar,
            d.EofChar,      d.EvtChar,     d.wReserved1}),
        (Fields{28,          38400, 1,    1,   0,   0, kDtrControlEnable,
                0,           1,     0,    0,   0,   0, kRtsControlEnable,
                0,           0,     0,    100, 100, 8, kNoParity,
                kOneStopBit, 0x11,  0x07, 0,   0,   0, 0}));
}

TEST(CommPortTest, ReadAvailableAsksOnlyForWhatIsQueued) {
    const std::string debug = "OutputDebugString \n\rIO PENDING", wait = "GetOverlappedResult read",
                      clear = "ClearCommError";
    // Queued bytes, most wanted, how the read goes, bytes read, calls after the first
    // ClearCommError.
    const std::tuple<std::string, std::uint32_t, TransferScript, std::uint32_t, Calls> cases[] = {
        {"12345", 2048, {}, 5, {"ReadFile 5"}},
        {"abcdefghij", 4, {}, 4, {"ReadFile 4"}},  // leaves 6 queued
        {"", 2048, {}, 0, {}},
        {"xyz", 16, {Pending, 2}, 3, {"ReadFile 3", debug, wait, wait, wait}},
        // Ending in an error after it started: the count last reported stands.
        {"xyz", 16, {Pending, 0, Failed, 2}, 2, {"ReadFile 3", debug, wait, clear}},
        {"xyz", 16, {Failed}, 0, {"ReadFile 3", clear}},
        // A driver that reports more than was asked for is not believed.
        {"abcdefghij", 4, {Finished, 0, Finished, 4000}, 4, {"ReadFile 4"}},
    };
    for (int row = 0; auto [queued, max, script, got, calls] : cases) {
        SCOPED_TRACE(row++);
        SerialRig r;
        ASSERT_TRUE(r.port.OpenPort());
        r.driver.PushIncoming(queued);
        r.driver.QueueReadScript(script);
        r.driver.ClearCalls();
        char buffer[2048];
        EXPECT_EQ(r.port.ReadAvailable(buffer, max), got);
        calls.insert(calls.begin(), clear);
        EXPECT_EQ(r.driver.Calls(), calls);
    }
}

TEST(CommPortTest, WriteBlockShowsAShortCountAndFailsUnlessEveryByteWentOut) {
    const std::string wait = "GetOverlappedResult write";
    // How the write goes, its result, the message boxes, the waits and ClearCommError calls.
    const std::tuple<TransferScript, bool, std::vector<RecordedMessage>, Calls> cases[] = {
        {{}, true, {}, {}},
        {{Pending, 3}, true, {}, {wait, wait, wait, wait}},
        {{Finished, 0, Finished, 4}, false, {AppMessage("4")}, {}},
        {{Pending, 0, Failed, 2}, false, {AppMessage("2")}, {wait, "ClearCommError"}},
        // Every byte moved, yet the transfer ended in an error: still a failed write.
        {{Pending, 0, Failed}, false, {}, {wait, "ClearCommError"}},
        {{Failed}, false, {}, {"ClearCommError"}},
    };
    for (int row = 0; const auto& [script, result, shown, calls] : cases) {
        SCOPED_TRACE(row++);
        SerialRig r;
        ASSERT_TRUE(r.port.OpenPort());
        r.driver.QueueWriteScript(script);
        EXPECT_EQ(r.port.WriteBlock("ATZE1\r", 6), result);
        EXPECT_EQ(r.messages.Messages(), shown);
        EXPECT_EQ(r.driver.Calls({"GetOverlappedResult", "ClearCommError"}), calls);
    }
}

// A watcher that has ended already, or one that ends 250 ms into the close: three 100 ms pauses.
// The record and its two events then serve the next opening.
TEST(CommPortTest, ClosePausesOnlyWhileTheWatcherRuns) {
    for (std::uint32_t endsAfter : {0u, 250u}) {
        SCOPED_TRACE(endsAfter);
        SerialRig r;
        ASSERT_TRUE(r.port.OpenPort());
        PortState& s = *r.port.State();
        s.fRunning.store(1);
        s.dwWatcherId.store(endsAfter == 0 ? 0 : 42);
        r.driver.SetSleepHook([&s, endsAfter](std::uint32_t slept) {
            EXPECT_EQ(s.fRunning.load(), 0) << "flag cleared before the first pause";
            if (slept >= endsAfter) {
                s.dwWatcherId.store(0);
            }
        });
        r.driver.ClearCalls();
        r.port.ClosePort();
        Calls want(1 + (endsAfter + 99) / 100, "Sleep 100");
        want[0] = "SetCommMask 0";
        want.insert(want.end(), {"EscapeCommFunction 6", "PurgeComm 15", "CloseHandle port"});
        EXPECT_EQ(r.driver.Calls(), want);
        EXPECT_EQ(s.fRunning.load(), 0);
        ASSERT_TRUE(r.port.OpenPort());
        EXPECT_TRUE(r.driver.Calls({"CreateEvent"}).empty());
    }
}

}  // namespace
}  // namespace countryset::testing
