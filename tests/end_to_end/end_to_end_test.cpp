// The real program against the modem simulator: what the modem receives, what the operator is
// told, what the settings file holds afterwards, and the exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class EndToEndTest : public ::testing::Test, protected SampleModemRig {
protected:
    // The sample settings (CRLF, as desktop tools write them), with the stored choice replaced.
    std::string SettingsWith(int currentSet, int currentCom) const {
        std::string text = settings_;
        auto replace = [&](const std::string& from, const std::string& to) {
            text.replace(text.find(from), from.size(), to);
        };
        replace("CurrentSet=0\r\n", "CurrentSet=" + std::to_string(currentSet) + "\r\n");
        replace("CurrentCOM=1\r\n", "CurrentCOM=" + std::to_string(currentCom) + "\r\n");
        return text;
    }
    void ExpectSettingsUnchanged() const { EXPECT_EQ(folder_.ReadSettings(), settings_); }
};

TEST_F(EndToEndTest, EnterSetsThePreselectedCountryAndStoresTheChoice) {
    StartModem();
    const ProgramResult result = folder_.Run("12\n\n\n");  // Germany, then OK, then the message
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=42\rAT+GCI?\r");
    EXPECT_EQ(modem_->Country(), 0x42);
    EXPECT_THAT(result.out, HasSubstr("Country set successfully."));
    EXPECT_EQ(folder_.ReadSettings(), SettingsWith(11, 1));

    // The next run preselects the stored choice: Enter alone sends Germany again.
    const ProgramResult again = folder_.Run("\n\n");
    EXPECT_EQ(again.exitCode, 0) << again.out;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=42\rAT+GCI?\rATZE1\rAT+GCI=42\rAT+GCI?\r");
}

struct ModemFault {
    const char* name;
    ModemSimOptions options;
    const char* message;
};

void PrintTo(const ModemFault& fault, std::ostream* os) {
    *os << fault.name;
}

class ModemFaultTest : public EndToEndTest, public ::testing::WithParamInterface<ModemFault> {};

TEST_P(ModemFaultTest, IsToldAndTheFileStaysAsItWas) {
    StartModem(GetParam().options);
    const ProgramResult result = folder_.Run("\n\n\n");
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(GetParam().message));
    EXPECT_THAT(result.out, Not(HasSubstr("Country set successfully.")));
    ExpectSettingsUnchanged();
}

ModemSimOptions With(void (*set)(ModemSimOptions&)) {
    ModemSimOptions options;
    set(options);
    return options;
}

constexpr const char* kCantInit = "Can't initialise modem at the selected COM port.";
constexpr const char* kCantSet = "Can't perform country setting on this model modem!";

INSTANTIATE_TEST_SUITE_P(
    Faults, ModemFaultTest,
    ::testing::Values(ModemFault{"NoEcho", With([](ModemSimOptions& o) { o.noEcho = true; }),
                                 kCantInit},
                      ModemFault{"ErrorToTheCountry",
                                 With([](ModemSimOptions& o) { o.errorGci = true; }), kCantSet},
                      ModemFault{"TwoStrayBytesAfterTheProbesOk",
                                 With([](ModemSimOptions& o) { o.extra = "\r\n"; }), kCantSet},
                      ModemFault{"FloodWithNulBytes",
                                 With([](ModemSimOptions& o) { o.flood = 100000; }), kCantInit},
                      ModemFault{"HangUpDuringTheCountryReply",
                                 With([](ModemSimOptions& o) { o.hangupAfter = 14; }), kCantSet}),
    [](const ::testing::TestParamInfo<ModemFault>& fault) { return fault.param.name; });

// The console's operator is told what the modem holds when its OK was not the truth.
TEST_F(EndToEndTest, ModemHoldingAnotherCountryFailsTheRun) {
    ModemSimOptions letters;
    letters.lettersAsDigits = true;
    StartModem(letters);
    const ProgramResult result = folder_.Run("11\n\n\n");  // France, OK, the message
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=3D\rAT+GCI?\r");
    EXPECT_THAT(result.out,
                HasSubstr("Error\nThe modem answered OK but holds Dominican Republic (33), not "
                          "France (3D).\n"));
    EXPECT_THAT(result.out, Not(HasSubstr("Country set successfully.")));
    ExpectSettingsUnchanged();
}

TEST_F(EndToEndTest, ReplyAfterTheDeadlineFails) {
    ModemSimOptions late;
    late.delayMs = 4000;
    StartModem(late);
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult result = folder_.Run("\n\n\n");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.out, HasSubstr("Can't initialise modem at the selected COM port."));
    EXPECT_LT(took, std::chrono::seconds(8));  // the probe is not retried
    ExpectSettingsUnchanged();
}

TEST_F(EndToEndTest, PortThatCannotBeOpenedSendsNothing) {
    StartModem();
    {
        // Held by another program.
        const int holder = ::open(modem_->Device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        const ProgramResult result = folder_.Run("\n\n");
        ::close(holder);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_THAT(result.out, HasSubstr("Can't find modem at the selected COM port."));
    }
    // Mapped to a device that does not exist.
    std::string missing = settings_;
    missing.replace(missing.find(modem_->Device()), modem_->Device().size(), "/dev/nonexistent");
    folder_.WriteSettings(missing);
    const ProgramResult result = folder_.Run("\n\n");
    EXPECT_THAT(result.out, HasSubstr("Can't find modem at the selected COM port."));
    EXPECT_EQ(folder_.ReadSettings(), missing);
    EXPECT_EQ(modem_->Received(), "");
}

TEST_F(EndToEndTest, CancelAndEndOfInputChangeNothing) {
    StartModem();
    for (const char* input : {"cancel\n", "", "5\n"}) {
        const ProgramResult result = folder_.Run(input);
        EXPECT_EQ(result.exitCode, 1) << input;
        EXPECT_FALSE(result.timedOut);
    }
    EXPECT_EQ(modem_->Received(), "");
    ExpectSettingsUnchanged();
}

TEST_F(EndToEndTest, WithoutSettingsFileNothingIsOfferedOrWritten) {
    const ProgramResult result = folder_.Run("\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.out, HasSubstr("Country Setting"));
    EXPECT_THAT(result.out, HasSubstr("Current Selected Country"));
    EXPECT_FALSE(folder_.ReadSettings().has_value());
}

TEST_F(EndToEndTest, NoPortPreselectedOpensCom1AndStoresZero) {
    StartModem();
    const std::string stored = SettingsWith(2, 0);
    folder_.WriteSettings(stored);
    const ProgramResult result = folder_.Run("\n\n");
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=0A\rAT+GCI?\r");  // Austria, third in the list
    EXPECT_EQ(folder_.ReadSettings(), stored);
}

TEST_F(EndToEndTest, ReadOnlySettingsFileIsToldAndKept) {
    StartModem();
    ASSERT_EQ(::chmod(folder_.SettingsPath().c_str(), 0444), 0);
    const ProgramResult result = folder_.Run("3\n\n\n\n");
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=0A\rAT+GCI?\r");
    const std::size_t success = result.out.find("Country set successfully.");
    const std::size_t warning = result.out.find("could not be saved in the settings file");
    ASSERT_NE(success, std::string::npos);
    ASSERT_NE(warning, std::string::npos);
    EXPECT_LT(success, warning);
    EXPECT_THAT(result.out, HasSubstr(folder_.SettingsPath()));
    ExpectSettingsUnchanged();
}

TEST_F(EndToEndTest, CommandLine) {
    const ProgramResult help = folder_.Run("", {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: countryset"));
    const ProgramResult version = folder_.Run("", {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_THAT(version.out, ::testing::StartsWith("countryset "));
    const ProgramResult bad = folder_.Run("", {"COM1"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_THAT(bad.err, HasSubstr("unknown argument 'COM1'"));
    EXPECT_EQ(bad.out, "");
}

}  // namespace
}  // namespace countryset::testing
