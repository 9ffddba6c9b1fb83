// The modes beside the dialog, run as a production line or a service bench would run them: the
// real program against the simulator, with no terminal and nothing typed.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ToolboxTest : public ::testing::Test, protected SampleModemRig {
protected:
    // No terminal at all: its own session, and nothing to read. fileLimit: the largest size
    // the program may make any file (writes past it fail), 0 for none.
    ProgramResult RunDetached(const std::vector<std::string>& args, rlim_t fileLimit = 0) const {
        return folder_.RunDetached(args, std::chrono::seconds(30), [fileLimit] {
            if (fileLimit == 0) {
                return true;
            }
            const rlimit limit{fileLimit, fileLimit};
            return std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR &&
                   ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        });
    }
};

TEST_F(ToolboxTest, ScriptedRunSetsTheCountryWithoutATerminal) {
    StartModem();
    const ProgramResult result = RunDetached({"--country", "gErMaNy"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    // What the modem holds is asked first: it holds another country, so it is set.
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI?\rAT+GCI=42\rAT+GCI?\r");
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
    EXPECT_EQ(result.exitCode, 6) << result.out << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI?\rAT+GCI=3D\r");
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
         7,
         "countryset: The modem answered OK but holds Dominican Republic (33), not France (3D).\n",
         "ATZE1\rAT+GCI?\rAT+GCI=3D\rAT+GCI?\r",
         0x33},
        {"digits only",
         letters,
         {"--country", "Germany"},
         0,
         kSet,
         "ATZE1\rAT+GCI?\rAT+GCI=42\rAT+GCI?\r",
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
         "ATZE1\rAT+GCI?\rAT+GCI=3D\rAT+GCI?\r",
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

// The trace says so too when the modem could not tell what it holds.
TEST_F(ToolboxTest, TraceTellsAnUnverifiedCountry) {
    ModemSimOptions options;
    options.noGciQuery = true;
    StartModem(options);
    const std::string trace = folder_.Dir() + "/wire.txt";
    const ProgramResult result = RunDetached({"--country", "France", "--trace=" + trace});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(ReadFileBytes(trace).value_or(""),
                HasSubstr(" ## not verified: the modem does not report its country\n"));
}

// A name that is no single entry stops before the port is opened, with the status of a country
// not offered; the suggestions help a script's author mend it.
TEST_F(ToolboxTest, UnknownOrAmbiguousNamesAreNoOfferedCountry) {
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
        EXPECT_EQ(result.exitCode, 3) << c.name << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.told)) << c.name;
        for (const std::string& name : c.suggested) {
            EXPECT_THAT(result.err, HasSubstr("\n  " + name + "\n")) << c.name;
        }
        EXPECT_THAT(result.err, Not(HasSubstr("Country set"))) << c.name;
    }
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

// Every entry --list-countries offers (and so the completion) can be picked by --country:
// equal names by their number, names that differ only in case as written, a long name as the
// list holds it. An entry whose code does not fit is not offered.
TEST_F(ToolboxTest, EveryListedEntryCanBePicked) {
    StartModem();
    folder_.WriteSettings(ReplaceAll(
        ReplaceAll(settings_, "NumOfCountry=40", "NumOfCountry=44"), "[Country]\r\n",
        "[Country]\r\nGermany=46\r\nGERMANY=07\r\nSaint Vincent and the Grenadines=09\r\n"
        "Far Away=123456789012345678901\r\n"));
    const ProgramResult listed = RunDetached({"--list-countries"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_THAT(listed.out, HasSubstr("\nGermany#1\nGERMANY\nGermany#2\nGreece\n"));
    EXPECT_THAT(listed.out, HasSubstr("\nSaint Vincent and t\n"));
    EXPECT_THAT(listed.out, Not(HasSubstr("Far")));
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 43);

    const std::pair<const char*, int> picks[] = {
        {"Germany#1", 0x46}, {"GERMANY", 0x07}, {"Germany#2", 0x42}, {"Saint Vincent and t", 0x09}};
    for (const auto& [name, code] : picks) {
        const ProgramResult result = RunDetached({"--country", name});
        EXPECT_EQ(result.exitCode, 0) << name << result.err;
        EXPECT_EQ(modem_->Country(), code) << name;
    }
    const ProgramResult ambiguous = RunDetached({"--country", "germany"});
    EXPECT_EQ(ambiguous.exitCode, 3);
    EXPECT_THAT(ambiguous.err, HasSubstr("#2"));
    EXPECT_THAT(ambiguous.err, HasSubstr("\n  Germany#1\n  GERMANY\n  Germany#2\n"));
}

// A stored port that is none of the list's is no port a script meant: a usage error that names
// it, and nothing sent or stored.
TEST_F(ToolboxTest, StoredPortOutsideTheListIsAUsageError) {
    StartModem();
    const std::string settings = ReplaceAll(settings_, "CurrentCOM=1", "CurrentCOM=9");
    folder_.WriteSettings(settings);
    ProgramResult result = RunDetached({"--country", "Japan"});
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_THAT(result.err, HasSubstr("CurrentCOM=9"));
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings);
    result = RunDetached({"--country", "Japan", "--port", "COM1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

// Beyond the list a port is reached through its [Ports] entry only, and the run stores the port
// it used; a port without an entry is told as such, and nothing is sent or stored.
TEST_F(ToolboxTest, PortsBeyondTheListOpenOnlyTheirPortsEntry) {
    StartModem();
    const std::string settings = ReplaceAll(settings_, "\r\nCOM1=", "\r\nCOM12=");
    folder_.WriteSettings(settings);
    ProgramResult result = RunDetached({"--country", "Japan", "--port", "COM13"});
    EXPECT_EQ(result.exitCode, 4) << result.err;
    EXPECT_THAT(result.err, HasSubstr("COM13 has no entry in [Ports]"));
    EXPECT_EQ(folder_.ReadSettings(), settings);

    result = RunDetached({"--country", "Japan", "--port", "com12"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI?\rAT+GCI=00\rAT+GCI?\r");
    EXPECT_EQ(folder_.ReadSettings(),
              ReplaceAll(ReplaceAll(settings, "CurrentSet=0\r\n", "CurrentSet=19\r\n"),
                         "CurrentCOM=1\r\n", "CurrentCOM=12\r\n"));
}

// Without a settings file no name can match: the message says which file was looked for.
TEST_F(ToolboxTest, WithoutASettingsFileTheFileLookedForIsNamed) {
    StartModem();
    ASSERT_EQ(::unlink(folder_.SettingsPath().c_str()), 0);
    const ProgramResult result = RunDetached({"--country", "Germany"});
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_THAT(result.err, HasSubstr("no offered country is called 'Germany'"));
    EXPECT_THAT(result.err,
                HasSubstr("the settings file " + folder_.SettingsPath() + " offers no countries"));
    EXPECT_EQ(modem_->Received(), "");
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
        int exitCode = 1;
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
         "countryset: Can't initialise modem at the selected COM port.\n", 5},
    };
    for (const Case& c : cases) {
        ModemSimOptions options;
        c.set(options);
        StartModem(options);
        const ProgramResult result = RunDetached({"--query", "--port", "COM1"});
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << result.out << result.err;
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
              "ATZE1\r\r\nOK\r\nAT+GCI?\r\r\n+GCI: B5\r\n\r\nOK\r\nAT+GCI=00\r\r\nOK\r\n"
              "AT+GCI?\r\r\n+GCI: 00\r\n\r\nOK\r\n");
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

// A trace never destroys a file: a run refused before it starts leaves the file alone; the
// program's own files (by any name) and other users' files are refused; an earlier trace is
// kept, the new one after a line with the date.
TEST_F(ToolboxTest, TraceNeverDestroysAFile) {
    StartModem();
    const std::string keep = folder_.Dir() + "/keep";
    WriteFileBytes(keep, "important\n");
    ProgramResult result = RunDetached({"--country", "Nowhere", "--trace=" + keep});
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_EQ(ReadFileBytes(keep), "important\n");

    const std::string alias = folder_.Dir() + "/alias";
    ASSERT_EQ(::link(folder_.SettingsPath().c_str(), alias.c_str()), 0);
    for (const std::string& own : {folder_.SettingsPath(), folder_.Executable(), alias}) {
        result = RunDetached({"--country", "Japan", "--port", "COM1", "--trace=" + own});
        EXPECT_EQ(result.exitCode, 2) << own << result.err;
        EXPECT_THAT(result.err, HasSubstr("it is one of the program's own files")) << own;
    }
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(keep.c_str(), 65534, 65534), 0);
        result = RunDetached({"--country", "Japan", "--trace=" + keep});
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_THAT(result.err, HasSubstr("it belongs to another user"));
        ASSERT_EQ(::chown(keep.c_str(), 0, 0), 0);
    }
    EXPECT_EQ(ReadFileBytes(keep), "important\n");
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(folder_.ReadSettings(), settings_);

    result = RunDetached({"--country", "Japan", "--trace=" + keep});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string trace = ReadFileBytes(keep).value_or("");
    EXPECT_TRUE(std::regex_search(
        trace,
        std::regex(
            R"(^important\n---- trace of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC ----\n +\d+\.\d{6} -> ATZE1\\r\n)")))
        << trace;
}

// A trace that cannot be written in full is told at the end; the exit status is still the
// country's.
TEST_F(ToolboxTest, IncompleteTraceIsToldAtTheEnd) {
    StartModem();
    const std::string tracePath = folder_.Dir() + "/wire.txt";
    const std::string earlier(100000, 'x');
    WriteFileBytes(tracePath, earlier);
    // Room for the dated line, not for the wire.
    const ProgramResult result =
        RunDetached({"--country", "Japan", "--trace=" + tracePath}, earlier.size() + 50);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(modem_->Country(), 0x00);
    EXPECT_EQ(result.err,
              "countryset: Country set successfully.\n"
              "countryset: the trace is incomplete: File too large\n");
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
    // COM1 and COM2 through the default names, COM4 mapped to a link that leads nowhere, COM6
    // to a serial server that is listed without a connection.
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    folder_.WriteSettings("[Ports]\r\nCOM4=/dev/serial/by-id/gone\r\nCOM6=" + url + "\r\n");

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
    EXPECT_THAT(out, HasSubstr("COM6 " + url + " - network -\n"));
    EXPECT_LT(::accept(server, nullptr, nullptr), 0) << "the listing connected to the server";
    ::close(server);
    // Unreached devices, with the line that would map each to a port that opens nothing today.
    EXPECT_THAT(out, HasSubstr(" /dev/ttyACM0\n [Ports] COM4=/dev/ttyACM0\n"));
    EXPECT_THAT(out, HasSubstr(" /dev/ttyUSB0 /dev/serial/by-id/usb-Maker_Modem_42-if00-port0\n "
                               "[Ports] COM5=/dev/serial/by-id/usb-Maker_Modem_42-if00-port0\n"));
    // Nothing was sent to any of them.
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(usb0.Received(), "");
}

// A serial server of the test's own for a port mapped to "socket://": it takes one connection
// and carries the bytes between it and the simulator's terminal as they are.
class RawRelay {
public:
    explicit RawRelay(const std::string& device) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listen_, 1);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        relay_ = std::thread([this, device] { Carry(device); });
    }
    ~RawRelay() {
        ::shutdown(listen_, SHUT_RDWR);
        relay_.join();
        ::close(listen_);
    }
    std::string Url() const { return "socket://127.0.0.1:" + std::to_string(port_); }

private:
    void Carry(const std::string& device) {
        const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        const int line = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (client >= 0 && line >= 0 && ::tcgetattr(line, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(line, TCSANOW, &raw);
            char buffer[512];
            for (bool open = true; open;) {
                pollfd ends[2] = {{client, POLLIN, 0}, {line, POLLIN, 0}};
                if (::poll(ends, 2, 10000) <= 0) {
                    break;
                }
                for (int from = 0; from < 2 && open; ++from) {
                    if (ends[from].revents == 0) {
                        continue;
                    }
                    const ssize_t n = ::read(ends[from].fd, buffer, sizeof buffer);
                    open = n > 0 &&
                           ::write(ends[1 - from].fd, buffer, static_cast<std::size_t>(n)) == n;
                }
            }
        }
        for (int fd : {client, line}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread relay_;
};

// A port mapped to a serial server: the whole job through it, byte for byte as on a local line;
// and a server that is not running is the port's reason, told under the usual message.
TEST_F(ToolboxTest, APortMappedToASerialServerRunsTheWholeJobThroughIt) {
    StartModem();
    {
        RawRelay relay(modem_->Device());
        folder_.WriteSettings(SampleSettings(relay.Url()));
        const ProgramResult result = RunDetached({"--country", "Germany"});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(result.err, "countryset: Country set successfully.\n");
    }
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI?\rAT+GCI=42\rAT+GCI?\r");
    EXPECT_EQ(modem_->Country(), 0x42);

    // A port where nothing listens: one the system just gave the test and took back.
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);
    const std::string url = "://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    folder_.WriteSettings(SampleSettings("rfc2217" + url));
    const ProgramResult refused = RunDetached({"--query"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_THAT(refused.err, HasSubstr("Can't find modem at the selected COM port."));
    EXPECT_THAT(refused.err, HasSubstr("refused the connection"));
}

}  // namespace
}  // namespace countryset::testing
