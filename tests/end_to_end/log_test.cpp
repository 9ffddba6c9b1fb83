// --identify and --log on a production line: the real program against the simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class LogRunTest : public ::testing::Test, protected SampleModemRig {
protected:
    std::vector<std::string> LogLines() const {
        std::istringstream text(ReadFileBytes(folder_.Dir() + "/run.log").value_or(""));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }
};

TEST_F(LogRunTest, IdentityIsAskedAfterTheReadBackAndEachRunAddsALine) {
    ModemSimOptions options;
    options.info = "Bench\r\nmodem";
    options.model = "M-56";
    options.identityErrors = "GSN";
    StartModem(options);
    const std::string log = folder_.Dir() + "/run.log";
    const ProgramResult csv =
        folder_.Run("", {"--country", "France", "--identify", "--log", log, "--log-format", "csv"});
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(modem_->Received(),
              "ATZE1\rAT+GCI?\rAT+GCI=3D\rAT+GCI?\rATI\rAT+GMI\rAT+GMM\rAT+GMR\rAT+GSN\r");
    EXPECT_THAT(csv.err, HasSubstr("countryset: modem identity: info \"Bench | modem\"; "
                                   "manufacturer \"countryset\"; model \"M-56\"; revision "
                                   "\"1.0\"; serial -\n"));
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], StartsWith("time,host,user,port,device,"));
    EXPECT_THAT(lines[1], EndsWith(",COM1," + modem_->Device() +
                                   ",,France,3D,B5,3D,set_verified,,"
                                   "Bench\\x0D\\x0Amodem,countryset,M-56,1.0,"));

    // The same file in the other format is appended to all the same; no identity on stderr.
    const ProgramResult json = folder_.Run("", {"--country", "Germany", "--log", log});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_THAT(json.err, Not(HasSubstr("identity")));
    lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[2], StartsWith("{\"time\":\""));
    EXPECT_THAT(lines[2], HasSubstr("\"country\":{\"name\":\"Germany\",\"code\":\"42\"},"));
    EXPECT_THAT(lines[2], HasSubstr("\"model\":\"M-56\",\"revision\":\"1.0\",\"serial\":\"\"}}"));
}

TEST_F(LogRunTest, ALogThatMayNotBeWrittenStopsTheRunBeforeItStarts) {
    StartModem();
    const ProgramResult result =
        folder_.Run("", {"--country", "France", "--log", folder_.SettingsPath()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr("cannot write the log file " + folder_.SettingsPath() +
                                      ": it is one of the program's own files"));
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

}  // namespace
}  // namespace countryset::testing
