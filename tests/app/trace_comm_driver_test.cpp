// The wire trace over the fake driver: transfers that end at once, later, short or not at all.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "fakes/fake_comm_driver.h"
#include "serial/trace_comm_driver.h"

namespace countryset {
namespace {

using testing::FakeCommDriver;
using testing::TransferScript;

// The trace's lines without their times; each must carry one.
std::vector<std::string> Lines(const std::string& trace) {
    std::vector<std::string> lines;
    const std::regex stamped(R"( *\d+\.\d{6} ((->|<-) .*))");
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
    // Pending: nothing until it has ended, then once.
    fake.QueueWriteScript(TransferScript(IoStatus::Pending, 1, IoStatus::Finished));
    EXPECT_EQ(trace.WriteFile(port, "AT\\\r", 4, &done, &writeBlock), IoStatus::Pending);
    EXPECT_EQ(trace.GetOverlappedResult(port, &writeBlock, &done, false), IoStatus::Incomplete);
    EXPECT_EQ(Lines(out.str()).size(), 1u);
    EXPECT_EQ(trace.GetOverlappedResult(port, &writeBlock, &done, true), IoStatus::Finished);
    trace.GetOverlappedResult(port, &writeBlock, &done, true);  // asked again: no second line
    // Refused at once: nothing crossed.
    fake.QueueWriteScript(TransferScript(IoStatus::Failed));
    EXPECT_EQ(trace.WriteFile(port, "lost", 4, &done, &writeBlock), IoStatus::Failed);

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

    const std::vector<std::string> expected = {"-> ATZE1\\r", "-> AT\\\\\\r", "<- \\x00\\x1B\\xFF",
                                               "<- OK"};
    EXPECT_EQ(Lines(out.str()), expected);
    EXPECT_EQ(fake.Written(), "ATZE1\rAT\\\r");
}

}  // namespace
}  // namespace countryset
