#include "serial/modem_attach.h"

#include <tuple>

#include "serial_fixture.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAre;

class ModemAttachTest : public ::testing::Test, public SerialRig {};

const auto kNoModem = WindowMessage("Can't find modem at the selected COM port.", "Error", 16);
const auto kNoWatcher = AppMessage("Failed to create DUT watching Thread");
const auto kBadProbe =
    WindowMessage("Can't initialise modem at the selected COM port.", "Error", 16);

// What the operator is told, what goes on the line and whether the port is left open with its
// watcher. The fake lets a new thread run before StartWatcher returns: a watcher that tested its
// flag before the flag, identity and handle were stored would end at once and move nothing.
TEST_F(ModemAttachTest, EachOutcomeTellsItsMessageAndLeavesItsState) {
    enum Fault { kNone, kNoPort, kNoThread };
    const std::string exact = "ATZE1\r\r\nOK\r\n";
    const std::vector<std::tuple<const char*, Fault, std::string, std::vector<RecordedMessage>>>
        cases = {
            {"exact answer", kNone, exact, {}},
            {"no port", kNoPort, exact, {kNoModem}},
            {"no watcher thread", kNoThread, exact, {kNoWatcher}},
            {"no echo", kNone, "\r\nOK\r\n", {kBadProbe}},
            {"stray byte before the echo", kNone, "x" + exact, {kBadProbe}},
            {"11 of 12", kNone, exact.substr(0, 11), {kBadProbe}},
            {"other case", kNone, "atze1\r\r\nok\r\n", {kBadProbe}},
            {"silence", kNone, "", {kBadProbe}},
        };
    for (const auto& [name, fault, answer, shown] : cases) {
        SCOPED_TRACE(name);
        SerialRig r;
        r.AnswerProbeWith(answer);
        // The deadline passes once the whole answer has been taken.
        r.DeadlineWhen(
            [&r, n = answer.size()] { return r.ring.ReadIndex() >= static_cast<std::int32_t>(n); });
        r.driver.SetPortExists("COM1", fault != kNoPort);
        r.driver.FailCreateThread(fault == kNoThread);
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
        const bool open = fault == kNone;
        const PortState& s = *r.port.State();
        EXPECT_EQ(r.driver.OpenPorts(), open ? 1 : 0);
        EXPECT_EQ(s.fRunning.load(), open ? 1 : 0);
        EXPECT_EQ(s.dwWatcherId.load() != 0, open);
        EXPECT_EQ(s.hWatcher.load() != 0, open);
    }
}

// Two bytes past the probe's twelve are the next collection's first; attaching again ends the old
// watcher before the port is opened anew, and the ring's indices go on where they were.
TEST_F(ModemAttachTest, LeftoverBytesAreCollectedNextAndReattachingKeepsTheRing) {
    AnswerProbeWith("ATZE1\r\r\nOK\r\nXY");
    reply.fill('#');
    ASSERT_TRUE(Attach());
    EXPECT_EQ(std::string(reply.data(), 13), std::string("ATZE1\r\r\nOK\r\n", 13));
    char next[3] = {};
    CollectReply(ring, next, 2, 3, driver);
    EXPECT_STREQ(next, "XY");
    ASSERT_TRUE(Attach());
    auto calls = driver.Calls({"CreateFile", "CloseHandle", "EscapeCommFunction", "SetCommMask"});
    std::erase(calls, "SetCommMask 1");  // the watchers set it at a moment of their choosing
    EXPECT_THAT(calls, ElementsAre("CreateFile COM1", "EscapeCommFunction 5", "SetCommMask 0",
                                   "CloseHandle event",  // the old watcher has ended
                                   "EscapeCommFunction 6", "CloseHandle port", "CreateFile COM1",
                                   "EscapeCommFunction 5"));
    EXPECT_NE(port.State()->dwWatcherId.load(), 0u);
    EXPECT_EQ(port.State()->fRunning.load(), 1);
    EXPECT_EQ(ring.ReadIndex(), 26);
}

TEST_F(ModemAttachTest, WatcherWithoutItsEventSaysSoOnceAndFailsTheProbe) {
    AnswerProbeWith("ATZE1\r\r\nOK\r\n");
    driver.FailCreateEvent(3);
    DeadlineWhen([this] { return port.State()->dwWatcherId.load() == 0; });
    EXPECT_FALSE(Attach());
    EXPECT_THAT(messages.Messages(),
                ElementsAre(AppMessage("Failed to create event for thread!"), kBadProbe));
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(port.State()->fRunning.load(), 1) << "the caller closes the port";
    port.ClosePort();
    EXPECT_TRUE(driver.Calls({"Sleep"}).empty());
    EXPECT_EQ(driver.OpenPorts(), 0);
}

}  // namespace
}  // namespace countryset::testing
