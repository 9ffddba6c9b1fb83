#include "serial/modem_attach.h"

#include <chrono>
#include <memory>

#include "serial_fixture.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAre;

const auto kNoModem = WindowMessage("Can't find modem at the selected COM port.", "Error", 16);
const auto kNoWatcher = AppMessage("Failed to create DUT watching Thread");
const auto kNoWatcherEvent = AppMessage("Failed to create event for thread!");
const auto kBadProbe =
    WindowMessage("Can't initialise modem at the selected COM port.", "Error", 16);

// What the operator is told, what goes on the line and whether the port is left open with its
// watcher. The fake lets a new thread run before StartWatcher returns: a watcher that tested its
// flag before the flag, identity and handle were stored would end at once and move nothing. A
// watcher without its event ends at once too, and the port stays open for the caller to close.
TEST(ModemAttachTest, EachOutcomeTellsItsMessageAndLeavesItsState) {
    enum Fault { kNone, kNoPort, kNoThread, kNoEvent };
    const std::string exact = "ATZE1\r\r\nOK\r\n";
    const std::tuple<const char*, Fault, std::string, std::vector<RecordedMessage>> cases[] = {
        {"exact answer", kNone, exact, {}},
        {"no port", kNoPort, exact, {kNoModem}},
        {"no watcher thread", kNoThread, exact, {kNoWatcher}},
        {"no watcher event", kNoEvent, exact, {kNoWatcherEvent, kBadProbe}},
        {"no echo", kNone, "\r\nOK\r\n", {kBadProbe}},
        {"stray byte before the echo", kNone, "x" + exact, {kBadProbe}},
        {"11 of 12", kNone, exact.substr(0, 11), {kBadProbe}},
        {"other case", kNone, "atze1\r\r\nok\r\n", {kBadProbe}},
        {"silence", kNone, "", {kBadProbe}},
    };
    for (const auto& [name, fault, answer, shown] : cases) {
        SCOPED_TRACE(name);
        SerialRig r;
        const PortState& s = *r.port.State();
        r.AnswerProbeWith(answer);
        // The clock reads 0 at the start of the collection and stands still until the whole answer
        // has been taken or the watcher has ended (or ten real seconds have passed), then jumps
        // past any limit.
        r.driver.SetClock([&, n = static_cast<std::int32_t>(answer.size()),
                           readings = std::make_shared<int>(0),
                           start = std::chrono::steady_clock::now()] {
            const bool due = r.ring.ReadIndex() >= n || s.dwWatcherId.load() == 0 ||
                             std::chrono::steady_clock::now() - start > std::chrono::seconds(10);
            return std::time_t{(*readings)++ > 0 && due ? 100 : 0};
        });
        r.driver.SetPortExists("COM1", fault != kNoPort);
        r.driver.FailCreateThread(fault == kNoThread);
        r.driver.FailCreateEvent(fault == kNoEvent ? 3 : 0);  // the port's two, then the watcher's
        EXPECT_EQ(r.Attach(), shown.empty());
        EXPECT_EQ(r.messages.Messages(), shown);
        // Sent once, no retry. Without a watcher the handle alone is closed: no DTR drop, no purge.
        Calls want = {"CreateFile COM1", "PurgeComm 15", "CreateThread", "EscapeCommFunction 5",
                      "WriteFile 6"};
        want.resize(fault == kNoPort ? 1 : fault == kNoThread ? 3 : 5);
        if (fault == kNoThread) {
            want.push_back("CloseHandle port");
        }
        EXPECT_EQ(r.driver.Calls({"CreateFile", "PurgeComm", "CreateThread", "EscapeCommFunction",
                                  "WriteFile", "CloseHandle"}),
                  want);
        const bool open = fault == kNone || fault == kNoEvent, watching = fault == kNone;
        EXPECT_EQ(r.driver.OpenPorts(), open ? 1 : 0);
        EXPECT_EQ(s.fRunning.load(), open ? 1 : 0);
        EXPECT_EQ(s.dwWatcherId.load() != 0, watching);
    }
}

// Two bytes past the probe's twelve are the next collection's first; attaching again ends the old
// watcher before the port is opened anew, and the ring's indices go on where they were.
TEST(ModemAttachTest, LeftoverBytesAreCollectedNextAndReattachingKeepsTheRing) {
    SerialRig r;
    r.AnswerProbeWith("ATZE1\r\r\nOK\r\nXY");
    r.reply.fill('#');
    ASSERT_TRUE(r.Attach());
    EXPECT_EQ(std::string(r.reply.data(), 13), std::string("ATZE1\r\r\nOK\r\n", 13));
    char next[3] = {};
    CollectReply(r.ring, next, 2, 3, r.driver);
    EXPECT_STREQ(next, "XY");
    ASSERT_TRUE(r.Attach());
    auto calls = r.driver.Calls({"CreateFile", "CloseHandle", "EscapeCommFunction", "SetCommMask"});
    std::erase(calls, "SetCommMask 1");  // the watchers set it at a moment of their choosing
    EXPECT_THAT(calls, ElementsAre("CreateFile COM1", "EscapeCommFunction 5", "SetCommMask 0",
                                   "CloseHandle event",  // the old watcher has ended
                                   "EscapeCommFunction 6", "CloseHandle port", "CreateFile COM1",
                                   "EscapeCommFunction 5"));
    EXPECT_NE(r.port.State()->dwWatcherId.load(), 0u);
    EXPECT_EQ(r.port.State()->fRunning.load(), 1);
    EXPECT_EQ(r.ring.ReadIndex(), 26);
}

}  // namespace
}  // namespace countryset::testing
