// The real program choosing among countries whose names are equal, and drawing a settings file
// with control characters on the operator's terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CountryChoiceTest : public ::testing::Test {
protected:
    // A file of three entries: two named alike, and one whose code does not fit its field.
    std::string Settings(const std::string& title, int currentSet) const {
        return "[Setting]\r\nTitle=" + title +
               "\r\nNumOfCountry=3\r\nCurrentSet=" + std::to_string(currentSet) +
               "\r\nCurrentCOM=1\r\n[Ports]\r\nCOM1=" + modem_.Device() +
               "\r\n[Country]\r\nKorea=61\r\nKorea=B5\r\nAlpha=3D;+GCI=59;+GCI=A0;E0\r\n";
    }

    ProgramFolder folder_;
    SimulatedModem modem_{{}, folder_.Dir() + "/modem.log"};
};

// The second of two equal names sends its own code, and the next run preselects it again; the
// entry whose code would be cut is not offered.
TEST_F(CountryChoiceTest, SecondOfTwoEqualNamesSendsItsOwnCode) {
    folder_.WriteSettings(Settings("Country Setting", 0));
    const ProgramResult result = folder_.Run("2\n\n\n");  // the second Korea, OK, the message
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(modem_.Received(), "ATZE1\rAT+GCI=B5\rAT+GCI?\r");
    EXPECT_EQ(modem_.Country(), 0xB5);
    EXPECT_THAT(result.out, Not(HasSubstr("Alpha")));
    EXPECT_EQ(folder_.ReadSettings(), Settings("Country Setting", 1));

    const ProgramResult again = folder_.Run("\n\n");
    EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_EQ(modem_.Received(), "ATZE1\rAT+GCI=B5\rAT+GCI?\rATZE1\rAT+GCI=B5\rAT+GCI?\r");
}

// A title that would clear the screen and ring the bell is shown, not obeyed; the file keeps it.
TEST_F(CountryChoiceTest, ControlCharactersInTheFileAreShownNotSent) {
    const std::string settings = Settings(
        "\x1b[2J\x07\x9b"
        "31mCountry Setting",
        0);
    folder_.WriteSettings(settings);
    const ProgramResult result = folder_.Run("cancel\n");
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr("== ^[[2J^GM-^[31mCountry Setting =="));
    for (const char control : {'\x1b', '\x07', '\x9b'}) {
        EXPECT_EQ(result.out.find(control), std::string::npos) << int(control);
    }
    EXPECT_EQ(modem_.Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings);
}

}  // namespace
}  // namespace countryset::testing
