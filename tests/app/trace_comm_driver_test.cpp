// The wire trace over the fake driver: transfers that end at once, later, short or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "fakes/fake_comm_driver.h"
#include "serial/trace_comm_driver.h"

namespace countryset {
namespace {

using testing::FakeCommDriver;
using testing::TransferScript;

// The trace's lines without their times; each must carry one.
std::vector<std::string> Lines(const std::string& trace) {
    std::vector<std::string> lines;
    const std::regex stamped(R"( *\d+\.\d{6} ((->|<-|!!|##) .*))");
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        std::smatch parts;
        EXPECT_TRUE(std::regex_match(line, parts, stamped)) << line;
        lines.push_back(parts[1]);
    }
    return lines;
}

TEST(TraceCommDriverTest, RecordsWhatCrossedWhenTheTransferEnds) {
    FakeCommDriver fake;
    std::ostringstream out;
    TraceCommDriver trace(fake, out);
    const CommHandle port = trace.CreateFile("COM1");
    OverlappedBlock writeBlock;
    writeBlock.hEvent = trace.CreateEvent();
    OverlappedBlock readBlock;
    readBlock.hEvent = trace.CreateEvent();
    std::uint32_t done = 0;

    // At once.
    EXPECT_EQ(trace.WriteFile(port, "ATZE1\r", 6, &done, &writeBlock), IoStatus::Finished);
    // Pending: recorded when handed over (its answer may come before it is known to have
    // ended), and once only.
    fake.QueueWriteScript(TransferScript(IoStatus::Pending, 1, IoStatus::Finished));
    EXPECT_EQ(trace.WriteFile(port, "AT\\\r", 4, &done, &writeBlock), IoStatus::Pending);
    EXPECT_EQ(Lines(out.str()).size(), 2u);
    EXPECT_EQ(trace.GetOverlappedResult(port, &writeBlock, &done, false), IoStatus::Incomplete);
    EXPECT_EQ(trace.GetOverlappedResult(port, &writeBlock, &done, true), IoStatus::Finished);
    trace.GetOverlappedResult(port, &writeBlock, &done, true);  // asked again: no second line
    // Refused at once: nothing crossed.
    fake.QueueWriteScript(TransferScript(IoStatus::Failed));
    EXPECT_EQ(trace.WriteFile(port, "lost", 4, &done, &writeBlock), IoStatus::Failed);
    // Failed at once after part of it left (a connection closed mid-write).
    fake.QueueWriteScript(TransferScript(IoStatus::Failed, 0, IoStatus::Failed, 3));
    EXPECT_EQ(trace.WriteFile(port, "AT&F\r", 5, &done, &writeBlock), IoStatus::Failed);
    // Pending, then failed with part of it sent: the line says what did not cross.
    fake.QueueWriteScript(TransferScript(IoStatus::Pending, 0, IoStatus::Failed, 2));
    EXPECT_EQ(trace.WriteFile(port, "ATH\r", 4, &done, &writeBlock), IoStatus::Pending);
    EXPECT_EQ(trace.GetOverlappedResult(port, &writeBlock, &done, true), IoStatus::Failed);

    // A read that fails after moving some bytes still shows those, control bytes escaped.
    fake.PushIncoming(
        std::string("\0\x1b\xff"
                    "OK",
                    5));
    fake.QueueReadScript(TransferScript(IoStatus::Pending, 0, IoStatus::Failed, 3));
    char buffer[8] = {};
    EXPECT_EQ(trace.ReadFile(port, buffer, 3, &done, &readBlock), IoStatus::Pending);
    EXPECT_EQ(trace.GetOverlappedResult(port, &readBlock, &done, true), IoStatus::Failed);
    EXPECT_EQ(trace.ReadFile(port, buffer, 8, &done, &readBlock), IoStatus::Finished);
    // The program's own note, as safe to print as the wire's bytes.
    trace.Note("not verified: \x1b[2J");

    const std::vector<std::string> expected = {"-> ATZE1\\r",
                                               "-> AT\\\\\\r",
                                               "-> AT&",
                                               "!! only 3 of 5 bytes of the write above were sent",
                                               "-> ATH\\r",
                                               "!! only 2 of 4 bytes of the write above were sent",
                                               "<- \\x00\\x1B\\xFF",
                                               "<- OK",
                                               "## not verified: \\x1B[2J"};
    EXPECT_EQ(Lines(out.str()), expected);
    EXPECT_EQ(fake.Written(), "ATZE1\rAT\\\rAT&AT");
}

// The watcher reads the modem's answer while the command's write has not yet returned: the
// trace still shows the command first, and its times still run forward.
TEST(TraceCommDriverTest, AnswerReadDuringTheWriteFollowsTheCommand) {
    FakeCommDriver fake;
    std::ostringstream out;
    TraceCommDriver trace(fake, out);
    const CommHandle port = trace.CreateFile("COM1");
    OverlappedBlock writeBlock;
    writeBlock.hEvent = trace.CreateEvent();
    OverlappedBlock readBlock;
    readBlock.hEvent = trace.CreateEvent();
    std::thread watcher;
    std::atomic<bool> answerTraced{false};
    fake.SetWriteHook([&](std::string_view) {
        fake.PushIncoming("\r\nOK\r\n");
        watcher = std::thread([&] {
            char buffer[16];
            std::uint32_t got = 0;
            trace.ReadFile(port, buffer, 6, &got, &readBlock);
            answerTraced = true;
        });
        // The watcher's chance to overtake the command.
        for (int i = 0; i < 200 && !answerTraced; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::uint32_t done = 0;
    EXPECT_EQ(trace.WriteFile(port, "AT\r", 3, &done, &writeBlock), IoStatus::Finished);
    watcher.join();
    const std::vector<std::string> expected = {"-> AT\\r", "<- \\r\\nOK\\r\\n"};
    EXPECT_EQ(Lines(out.str()), expected);
    const std::string text = out.str();
    const std::size_t second = text.find('\n') + 1;
    EXPECT_LE(std::stod(text.substr(0, second)), std::stod(text.substr(second)));
}

// What a port's line tolerated instead of failing shows in the trace where it happened, escaped,
// each remark once, and only the remarks of the port the call was for.
TEST(TraceCommDriverTest, RemarksOfTheLineFollowTheCallThatMadeThem) {
    struct RemarkingDriver : FakeCommDriver {
        std::vector<std::string> TakeLineNotes(CommHandle port) override {
            std::vector<std::string> taken;
            if (port == remarkingPort) {
                taken.swap(remarks);
            }
            return taken;
        }
        CommHandle remarkingPort = kNullHandle;
        std::vector<std::string> remarks;
    } fake;
    std::ostringstream out;
    TraceCommDriver trace(fake, out);
    const CommHandle port = trace.CreateFile("COM1");
    fake.remarkingPort = port;
    fake.remarks = {"the server did not confirm DTR", "odd\x1B[2J"};
    trace.EscapeCommFunction(port + 1, kSetDtr);
    EXPECT_TRUE(Lines(out.str()).empty());
    trace.EscapeCommFunction(port, kSetDtr);
    trace.SetCommState(port, DCB{});
    const std::vector<std::string> expected = {"## the server did not confirm DTR",
                                               "## odd\\x1B[2J"};
    EXPECT_EQ(Lines(out.str()), expected);
}

// Several ports in one trace: each line names its port after its time, written whole however
// the ports' threads take turns; a trace of one port keeps its plain lines (tests above).
TEST(TraceCommDriverTest, SeveralPortsEachLineNamesItsPortAndIsWhole) {
    FakeCommDriver fake;
    std::ostringstream out;
    TraceCommDriver trace(fake, out);
    trace.TagPorts();
    constexpr int kPorts = 4;
    constexpr int kWrites = 200;
    std::vector<std::thread> threads;
    for (int n = 1; n <= kPorts; ++n) {
        threads.emplace_back([&trace, n] {
            const std::string name = "COM" + std::to_string(n);
            const CommHandle port = trace.CreateFile(name);
            OverlappedBlock block;
            block.hEvent = trace.CreateEvent();
            const std::string command = "AT+GCI=" + std::to_string(n) + "\r";
            for (int i = 0; i < kWrites; ++i) {
                std::uint32_t done = 0;
                trace.WriteFile(port, command.data(), static_cast<std::uint32_t>(command.size()),
                                &done, &block);
            }
            trace.Note(name, "done\n");
            trace.CloseHandle(block.hEvent);
            trace.CloseHandle(port);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::regex tagged(R"( *\d+\.\d{6} COM([1-4]) (-> AT\+GCI=([1-4])\\r|## done\\n))");
    std::map<std::string, int> count;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, tagged)) << line;
        if (parts[3].matched) {
            EXPECT_EQ(parts[1], parts[3]) << line;  // the port the bytes went to
        }
        ++count[parts[2].str().substr(0, 2) + parts[1].str()];
    }
    for (int n = 1; n <= kPorts; ++n) {
        EXPECT_EQ(count["->" + std::to_string(n)], kWrites);
        EXPECT_EQ(count["##" + std::to_string(n)], 1);
    }
}

}  // namespace
}  // namespace countryset
