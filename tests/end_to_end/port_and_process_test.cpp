// The real program's hold on its port as the process meets the world: a signal while the port is
// open leaves the line as it was found, the operator's own terminal is never taken for the
// modem, the reply deadline gives the modem its full three seconds, and a closed stdout ends
// the dialog instead of the program.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kCantFind = "Can't find modem at the selected COM port.";
constexpr const char* kCantInit = "Can't initialise modem at the selected COM port.";
constexpr const char* kSet = "Country set successfully.";
constexpr auto kHang = 20s;  // only a hang takes this long

int OpenDevice(const std::string& device) {
    return ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// The line's settings as any later user of the device finds them.
std::string LineSettings(const std::string& device) {
    const int fd = OpenDevice(device);
    termios settings{};
    const bool read = fd >= 0 && ::tcgetattr(fd, &settings) == 0;
    ::close(fd);
    if (!read) {
        return "unreadable";
    }
    std::string text =
        std::to_string(settings.c_iflag) + " " + std::to_string(settings.c_oflag) + " " +
        std::to_string(settings.c_cflag) + " " + std::to_string(settings.c_lflag) + " " +
        std::to_string(::cfgetispeed(&settings)) + " " + std::to_string(::cfgetospeed(&settings));
    for (cc_t c : settings.c_cc) {
        text += " " + std::to_string(c);
    }
    return text;
}

// Settings no program would choose for a modem: cooked, echoing, 9600 bit/s, XON/XOFF.
void MakeCooked(const std::string& device) {
    const int fd = OpenDevice(device);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(::tcgetattr(fd, &settings), 0);
    settings.c_lflag |= ICANON | ECHO | ISIG;
    settings.c_iflag |= ICRNL | IXON;
    settings.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &settings), 0);
    ::close(fd);
}

int ExclusiveFlag(const std::string& device) {
    const int fd = OpenDevice(device);
    int exclusive = -1;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
    return exclusive;
}

// Whether a user without privileges can open the device (root is not held back by TIOCEXCL):
// 0, or the errno of the failed open.
int OpenAsNobody(const std::string& device) {
    ::chmod(device.c_str(), 0666);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(125);
        }
        const int fd = OpenDevice(device);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

// The program starts with the usual dispositions whatever the test runner ignores or blocks,
// and a SIGQUIT leaves no core file behind.
void PlainSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        ::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
}

// Polls until `done` holds; false after kHang.
template <typename Done>
bool Await(Done done) {
    for (const auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < kHang; std::this_thread::sleep_for(5ms)) {
        if (done()) {
            return true;
        }
    }
    return false;
}

// A run whose console input the test holds open, so the program waits where the test wants it.
struct HeldRun {
    HeldRun(const ProgramFolder& folder, const std::string& typed,
            const std::function<void()>& inChild = PlainSignals) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        typing = fds[1];
        EXPECT_EQ(::write(typing, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        pid = folder.Start(fds[0], {}, inChild);
        ::close(fds[0]);
    }
    ~HeldRun() { ::close(typing); }
    int typing = -1;
    pid_t pid = -1;
};

struct SignalCase {
    int signal;
    bool duringProbe;  // else while the success message waits
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << ::strsignal(c.signal) << (c.duringProbe ? " during the probe" : " at the message");
}

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

// Sent while the port is open (the probe's collection, or the success message waiting for
// Enter): the line's settings afterwards equal those before, nobody is kept out, and the
// program ends by the signal.
TEST_P(SignalTest, LeavesTheLineAsItWasFoundAndEndsByTheSignal) {
    const SignalCase c = GetParam();
    ProgramFolder folder;
    ModemSimOptions options;
    options.silent = c.duringProbe;
    SimulatedModem modem(options, folder.Dir() + "/modem.log");
    folder.WriteSettings(SampleSettings(modem.Device()));
    MakeCooked(modem.Device());
    const std::string before = LineSettings(modem.Device());

    HeldRun run(folder, "\n");
    const bool reached = Await([&] {
        return c.duringProbe ? modem.Received() == "ATZE1\r"
                             : folder.Output().find(kSet) != std::string::npos;
    });
    ASSERT_TRUE(reached) << folder.Output();
    EXPECT_EQ(ExclusiveFlag(modem.Device()), 1) << "the port is held while the program runs";
    ::kill(run.pid, c.signal);
    const ProgramResult result = folder.Wait(run.pid, kHang);

    EXPECT_EQ(result.signal, c.signal) << result.out << result.err;
    EXPECT_EQ(LineSettings(modem.Device()), before);
    EXPECT_EQ(ExclusiveFlag(modem.Device()), 0);
    EXPECT_EQ(OpenAsNobody(modem.Device()), 0);
}

INSTANTIATE_TEST_SUITE_P(EachSignalAtEachMoment, SignalTest,
                         ::testing::Values(SignalCase{SIGINT, true}, SignalCase{SIGTERM, true},
                                           SignalCase{SIGHUP, true}, SignalCase{SIGQUIT, true},
                                           SignalCase{SIGINT, false}, SignalCase{SIGTERM, false},
                                           SignalCase{SIGHUP, false}, SignalCase{SIGQUIT, false}),
                         [](const ::testing::TestParamInfo<SignalCase>& run) {
                             return std::string(sigabbrev_np(run.param.signal)) +
                                    (run.param.duringProbe ? "DuringProbe" : "AtMessage");
                         });

// The operator's terminal named as the modem, as /dev/tty or by its own name, as the controlling
// terminal or as the terminal stdin is on: refused as a port that cannot be found, and nothing
// is sent to it or changed on it.
TEST(OperatorsTerminalTest, IsRefusedAndLeftUntouched) {
    enum How { kControlling, kStdin };
    const std::tuple<const char*, How, bool> cases[] = {
        {"/dev/tty of the controlling terminal", kControlling, true},
        {"the controlling terminal by its name", kControlling, false},
        {"the terminal on stdin", kStdin, false},
    };
    for (const auto& [name, how, viaDevTty] : cases) {
        SCOPED_TRACE(name);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char path[128] = {};
        ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                    ::ptsname_r(master, path, sizeof path) == 0);
        const std::string terminal = path;
        // The test's own hold keeps the terminal's settings alive between the program's opens.
        const int held = OpenDevice(terminal);
        const std::string before = LineSettings(terminal);

        ProgramFolder folder;
        folder.WriteSettings(SampleSettings(viaDevTty ? "/dev/tty" : terminal));
        std::string typed = "\n\n";
        if (how == kStdin) {
            ASSERT_EQ(::write(master, typed.data(), typed.size()), 2);
            typed.clear();
        }
        HeldRun run(folder, typed, [&, how = how] {
            PlainSignals();
            ::setsid();
            // Opened without O_NOCTTY by a session leader: it becomes the controlling terminal.
            const int fd = ::open(terminal.c_str(), O_RDWR | (how == kStdin ? O_NOCTTY : 0));
            if (fd < 0 || (how == kStdin && ::dup2(fd, STDIN_FILENO) < 0)) {
                ::_exit(124);
            }
        });
        if (how != kStdin) {
            ::close(run.typing);  // the end of input after the two lines
            run.typing = -1;
        }
        const ProgramResult result = folder.Wait(run.pid, kHang);

        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr(kCantFind));
        EXPECT_THAT(result.out, Not(HasSubstr(kCantInit)));
        EXPECT_EQ(LineSettings(terminal), before);
        EXPECT_EQ(ExclusiveFlag(terminal), 0);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        char shown[512];
        const ssize_t got = ::read(master, shown, sizeof shown);
        EXPECT_THAT(std::string(shown, got > 0 ? static_cast<std::size_t>(got) : 0),
                    Not(HasSubstr("ATZE1")));
        ::close(held);
        ::close(master);
    }
}

// One run against a modem that holds back every reply for delayMs: what it was told.
ProgramResult RunWithReplyAfter(int delayMs) {
    ProgramFolder folder;
    ModemSimOptions options;
    options.delayMs = delayMs;
    SimulatedModem modem(options, folder.Dir() + "/modem.log");
    folder.WriteSettings(SampleSettings(modem.Device()));
    return folder.Run("\n\n\n", {}, kHang);
}

// Half a second inside the limit and half a second past it, both far beyond the moments a busy
// machine keeps a waiting thread from its core. Counted in whole wall-clock seconds, the 2.5 s
// reply failed whenever the collection began in the second half of a second.
TEST(ReplyDeadlineTest,
     AReplyAfterTwoAndAHalfSecondsIsTakenEveryTimeAndOneAfterThreeAndAHalfIsNot) {
    constexpr int kOnTime = 4;
    ProgramResult onTime[kOnTime], late;
    std::vector<std::jthread> runs;
    for (ProgramResult& result : onTime) {
        runs.emplace_back([&result] { result = RunWithReplyAfter(2500); });
    }
    runs.emplace_back([&late] { late = RunWithReplyAfter(3500); });
    runs.clear();
    for (const ProgramResult& result : onTime) {
        EXPECT_EQ(result.exitCode, 0) << result.out;
        EXPECT_THAT(result.out, HasSubstr(kSet));
    }
    EXPECT_EQ(late.exitCode, 1) << late.out;
    EXPECT_THAT(late.out, HasSubstr(kCantInit));
}

// The console's output gone (a pager quit, stdout closed): no crash by SIGPIPE, no wait for
// lines typed blind; the dialog ends as cancelled and nothing is sent.
TEST(ClosedConsoleTest, EndsTheDialogAsCancelled) {
    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    folder.WriteSettings(SampleSettings(modem.Device()));
    HeldRun run(folder, "", [] {
        PlainSignals();
        int fds[2];
        if (::pipe(fds) != 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
            ::_exit(124);
        }
        ::close(fds[0]);
    });
    const ProgramResult result = folder.Wait(run.pid, kHang);
    EXPECT_EQ(result.signal, 0);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(modem.Received(), "");
}

}  // namespace
}  // namespace countryset::testing
