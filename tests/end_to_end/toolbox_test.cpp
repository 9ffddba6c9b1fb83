// The modes beside the dialog, run as a production line or a service bench would run them: the
// real program against the simulator, with no terminal and nothing typed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ToolboxTest : public ::testing::Test {
protected:
    void StartModem(ModemSimOptions options = {}) {
        options.sentLogPath = folder_.Dir() + "/sent.log";
        modem_.emplace(std::move(options), folder_.Dir() + "/modem.log");
        settings_ = SampleSettings(modem_->Device());
        folder_.WriteSettings(settings_);
    }
    // No terminal at all: its own session, and nothing to read.
    ProgramResult RunDetached(const std::vector<std::string>& args) const {
        ProgramFolder::StartOptions options;
        options.args = args;
        options.beforeExec = [] {
            const int null = ::open("/dev/null", O_RDONLY);
            return ::setsid() >= 0 && null >= 0 && ::dup2(null, 0) == 0;
        };
        const int console = ::open("/dev/null", O_RDONLY);
        const pid_t pid = folder_.Start(console, options);
        ::close(console);
        return folder_.Wait(pid, std::chrono::seconds(30));
    }

    ProgramFolder folder_;
    std::optional<SimulatedModem> modem_;
    std::string settings_;
};

TEST_F(ToolboxTest, ScriptedRunSetsTheCountryWithoutATerminal) {
    StartModem();
    const ProgramResult result = RunDetached({"--country", "gErMaNy"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=42\rAT+GCI?\r");
    EXPECT_EQ(modem_->Country(), 0x42);
    EXPECT_EQ(result.err, "countryset: Country set successfully.\n");
    EXPECT_EQ(result.out, "");  // no dialog drawn, no prompt
    // The same write-back as the dialog run: Germany is the twelfth name of the sorted list.
    EXPECT_EQ(folder_.ReadSettings(),
              ReplaceAll(settings_, "CurrentSet=0\r\n", "CurrentSet=11\r\n"));
}

TEST_F(ToolboxTest, ScriptedRunThatTheModemRefusesFailsAndWritesNothing) {
    ModemSimOptions options;
    options.errorGci = true;
    StartModem(options);
    const ProgramResult result = RunDetached({"--country", "France", "--port", "com1"});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI=3D\r");
    EXPECT_EQ(result.err, "countryset: Can't perform country setting on this model modem!\n");
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

// After the modem's OK the run asks it what it holds: a modem that stores hex letters as digits
// is caught, one that holds what it was sent passes, and one that cannot tell keeps its OK.
TEST_F(ToolboxTest, ReadBackDecidesWhatTheScriptIsTold) {
    const std::string kSet = "countryset: Country set successfully.\n";
    struct Case {
        const char* name;
        void (*set)(ModemSimOptions&);
        std::vector<std::string> args;
        int exitCode;
        std::string err;
        std::string received;
        std::uint8_t held;
    };
    const auto letters = [](ModemSimOptions& o) { o.lettersAsDigits = true; };
    const Case cases[] = {
        {"letters as digits",
         letters,
         {"--country", "France"},
         1,
         "countryset: The modem answered OK but holds Dominican Republic (33), not France (3D).\n",
         "ATZE1\rAT+GCI=3D\rAT+GCI?\r",
         0x33},
        {"digits only",
         letters,
         {"--country", "Germany"},
         0,
         kSet,
         "ATZE1\rAT+GCI=42\rAT+GCI?\r",
         0x42},
        {"no read-back asked",
         letters,
         {"--country", "France", "--no-verify"},
         0,
         kSet,
         "ATZE1\rAT+GCI=3D\r",
         0x33},
        {"ERROR to the read-back",
         [](ModemSimOptions& o) { o.noGciQuery = true; },
         {"--country", "France"},
         0,
         kSet + "countryset: not verified: the modem does not report its country\n",
         "ATZE1\rAT+GCI=3D\rAT+GCI?\r",
         0x3D},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModemSimOptions options;
        c.set(options);
        StartModem(options);
        const ProgramResult result = RunDetached(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(modem_->Received(), c.received);
        EXPECT_EQ(modem_->Country(), c.held);
        // Stored exactly when the run told success.
        EXPECT_EQ(folder_.ReadSettings() == settings_, c.exitCode != 0);
        modem_.reset();
    }
}

// A name that is no single entry stops before the port is opened; the suggestions help a script's
// author mend it.
TEST_F(ToolboxTest, UnknownOrAmbiguousNamesAreUsageErrors) {
    StartModem();
    struct Case {
        const char* name;
        const char* told;
        std::vector<std::string> suggested;
    };
    const Case cases[] = {
        {"Grmany", "no offered country is called 'Grmany'", {"Germany"}},
        {"United",
         "more than one offered country matches 'United'",
         {"United Kingdom", "United States"}},
        {"Atlantis", "no offered country is called 'Atlantis'", {}},
    };
    for (const Case& c : cases) {
        const ProgramResult result = RunDetached({"--country", c.name});
        EXPECT_EQ(result.exitCode, 2) << c.name << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.told)) << c.name;
        for (const std::string& name : c.suggested) {
            EXPECT_THAT(result.err, HasSubstr("\n  " + name + "\n")) << c.name;
        }
        EXPECT_THAT(result.err, Not(HasSubstr("Country set"))) << c.name;
    }
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

TEST_F(ToolboxTest, QueryNamesTheCurrentCountryAndTheSupportedOnes) {
    ModemSimOptions options;
    options.supported = "(00-3d,42)";  // a range, lower-case hex, and a single code
    StartModem(options);
    const ProgramResult result = RunDetached({"--query"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI?\rAT+GCI=?\r");  // nothing set
    EXPECT_THAT(result.out, HasSubstr("Current country: United States (B5)\n"));
    EXPECT_THAT(result.out, HasSubstr("supports: 13 of 40\n"));
    EXPECT_THAT(result.out, HasSubstr("  yes  France (3D)\n"));
    EXPECT_THAT(result.out, HasSubstr("  yes  Germany (42)\n"));
    EXPECT_THAT(result.out, HasSubstr("  no   Greece (46)\n"));
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

TEST_F(ToolboxTest, QueryNamesACodeTheSettingsFileDoesNot) {
    ModemSimOptions options;
    options.gciAnswer = "+GCI: 33";
    StartModem(options);
    const ProgramResult result = RunDetached({"--query"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out,
                HasSubstr("Current country: 33 (Dominican Republic, not in the settings file)\n"));
}

TEST_F(ToolboxTest, QueryTellsWhichStepFailed) {
    struct Case {
        const char* name;
        void (*set)(ModemSimOptions&);
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"no test command", [](ModemSimOptions& o) { o.noGciTest = true; },
         "Current country: United States (B5)\n",
         "countryset: The modem refused AT+GCI=? (answered ERROR).\n"},
        {"garbage", [](ModemSimOptions& o) { o.gciAnswer = "+GCI: \x1b[2Jzz"; },
         "Offered countries the modem supports: 40 of 40\n",
         "countryset: The modem's answer to AT+GCI? does not read ('^[[2Jzz' is not a country "
         "code): AT+GCI?\\r\\r\\n+GCI: \\x1B[2Jzz\\r\\n\\r\\nOK\\r\\n\n"},
        {"silent", [](ModemSimOptions& o) { o.silent = true; }, "",
         "countryset: Can't initialise modem at the selected COM port.\n"},
    };
    for (const Case& c : cases) {
        ModemSimOptions options;
        c.set(options);
        StartModem(options);
        const ProgramResult result = RunDetached({"--query", "--port", "COM1"});
        EXPECT_EQ(result.exitCode, 1) << c.name << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr(c.out)) << c.name;
        EXPECT_EQ(result.err, c.err) << c.name;
        modem_.reset();
    }
}

// What the trace says crossed the wire is what the modem received and sent, byte for byte.
TEST_F(ToolboxTest, TraceHoldsEveryByteOfTheRun) {
    StartModem();
    const std::string tracePath = folder_.Dir() + "/wire.txt";
    const ProgramResult result = RunDetached({"--country", "Japan", "--trace=" + tracePath});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string trace = ReadFileBytes(tracePath).value_or("");

    const std::regex line(R"( *(\d+)\.(\d{6}) (->|<-) (.*))");
    std::string sent;
    std::string received;
    double last = -1;
    std::istringstream lines(trace);
    for (std::string text; std::getline(lines, text);) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(text, parts, line)) << text;
        const double at = std::stod(parts[1].str() + "." + parts[2].str());
        EXPECT_GE(at, last) << text;  // a clock that only runs forward
        last = at;
        // The escapes read back: \r \n \\ \xHH.
        std::string bytes;
        const std::string escaped = parts[4];
        for (std::size_t i = 0; i < escaped.size(); ++i) {
            if (escaped[i] != '\\') {
                bytes += escaped[i];
            } else if (escaped[++i] == 'x') {
                bytes += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                bytes += escaped[i] == 'r' ? '\r' : escaped[i] == 'n' ? '\n' : escaped[i];
            }
        }
        (parts[3] == "->" ? sent : received) += bytes;
    }
    EXPECT_EQ(sent, modem_->Received());
    EXPECT_EQ(received, ReadFileBytes(folder_.Dir() + "/sent.log").value_or("?"));
    EXPECT_EQ(received,
              "ATZE1\r\r\nOK\r\nAT+GCI=00\r\r\nOK\r\nAT+GCI?\r\r\n+GCI: 00\r\n\r\nOK\r\n");
}

// Run as root in a folder other users can write, a trace path must not lead anywhere else: a
// link planted there, or a FIFO that would hold the run, is refused and left as it was.
TEST_F(ToolboxTest, TraceFileIsNeverALinkOrAFifo) {
    StartModem();
    const std::string victim = folder_.Dir() + "/victim";
    WriteFileBytes(victim, "keep me");
    ASSERT_EQ(::symlink(victim.c_str(), (folder_.Dir() + "/link.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo((folder_.Dir() + "/fifo.txt").c_str(), 0600), 0);
    for (const char* name : {"link.txt", "fifo.txt"}) {
        const ProgramResult result =
            RunDetached({"--country", "Japan", "--trace=" + folder_.Dir() + "/" + name});
        EXPECT_EQ(result.exitCode, 2) << name << result.err;
        EXPECT_THAT(result.err, HasSubstr("cannot write the trace file")) << name;
    }
    EXPECT_EQ(ReadFileBytes(victim), "keep me");
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

// A folder of stand-ins for /dev: a COM port on the simulator (one held the way our driver holds
// it), one that is a plain file, one that is missing, and USB modems of which one has a stable
// name.
TEST_F(ToolboxTest, ListPortsTellsWhatEachPortOpensAndWhatNoPortReaches) {
    StartModem();
    namespace fs = std::filesystem;
    const std::string dev = folder_.Dir() + "/dev";
    fs::create_directories(dev + "/serial/by-id");
    fs::create_symlink(modem_->Device(), dev + "/ttyS0");
    fs::create_symlink(modem_->Device(), dev + "/ttyS1");
    WriteFileBytes(dev + "/ttyS2", "");
    SimulatedModem usb0({}, folder_.Dir() + "/usb0.log");
    SimulatedModem acm0({}, folder_.Dir() + "/acm0.log");
    fs::create_symlink(usb0.Device(), dev + "/ttyUSB0");
    fs::create_symlink(acm0.Device(), dev + "/ttyACM0");
    fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-Maker_Modem_42-if00-port0");
    // COM1 and COM2 through the default names, COM4 mapped to a link that leads nowhere.
    folder_.WriteSettings("[Ports]\r\nCOM4=/dev/serial/by-id/gone\r\n");

    const int held = ::open(modem_->Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    ::setenv("COUNTRYSET_DEV_ROOT", dev.c_str(), 1);
    const ProgramResult result = RunDetached({"--list-ports"});
    ::unsetenv("COUNTRYSET_DEV_ROOT");
    ::close(held);

    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const std::regex spaces(" +");
    const std::string out = std::regex_replace(result.out, spaces, " ");
    EXPECT_THAT(out, HasSubstr("COM1 /dev/ttyS0 yes yes yes\n"));
    EXPECT_THAT(out, HasSubstr("COM3 /dev/ttyS2 yes no file no\n"));
    EXPECT_THAT(out, HasSubstr("COM4 /dev/serial/by-id/gone no - -\n"));
    EXPECT_THAT(out, HasSubstr("COM5 /dev/ttyS4 no - -\n"));
    // Unreached devices, with the line that would map each to a port that opens nothing today.
    EXPECT_THAT(out, HasSubstr(" /dev/ttyACM0\n [Ports] COM4=/dev/ttyACM0\n"));
    EXPECT_THAT(out, HasSubstr(" /dev/ttyUSB0 /dev/serial/by-id/usb-Maker_Modem_42-if00-port0\n "
                               "[Ports] COM5=/dev/serial/by-id/usb-Maker_Modem_42-if00-port0\n"));
    // Nothing was sent to any of them.
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(usb0.Received(), "");
}

}  // namespace
}  // namespace countryset::testing
