// The real program's hold on its port as the process meets signals: one that ends it while the
// port is open leaves the line as it was found, and a closed stdout ends the dialog instead of
// the program.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using namespace std::chrono_literals;

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
// but for `ignored`, and a SIGQUIT leaves no core file behind.
void PlainSignals(int ignored = 0) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        ::signal(signal, signal == ignored ? SIG_IGN : SIG_DFL);
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
    HeldRun(
        const ProgramFolder& folder, const std::string& typed,
        const std::function<void()>& inChild = [] { PlainSignals(); }) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        typing = fds[1];
        EXPECT_EQ(::write(typing, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        ProgramFolder::StartOptions options;
        options.beforeExec = [inChild] {
            inChild();
            return true;
        };
        pid = folder.Start(fds[0], options);
        ::close(fds[0]);
    }
    ~HeldRun() { ::close(typing); }
    int typing = -1;
    pid_t pid = -1;
};

struct SignalCase {
    int signal;
    bool duringProbe;  // else while the success message waits
    // Ignored when the program started (nohup, a script's background job): sent first, it
    // must change nothing, and `signal` ends the program.
    int ignored = 0;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << ::strsignal(c.signal) << (c.duringProbe ? " during the probe" : " at the message");
    if (c.ignored != 0) {
        *os << ", after an ignored " << ::strsignal(c.ignored);
    }
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

    HeldRun run(folder, "\n", [ignored = c.ignored] { PlainSignals(ignored); });
    const bool reached = Await([&] {
        return c.duringProbe ? modem.Received() == "ATZE1\r"
                             : folder.Output().find(kSet) != std::string::npos;
    });
    ASSERT_TRUE(reached) << folder.Output();
    EXPECT_EQ(ExclusiveFlag(modem.Device()), 1) << "the port is held while the program runs";
    if (c.ignored != 0) {
        ::kill(run.pid, c.ignored);
    }
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
                                           SignalCase{SIGHUP, false}, SignalCase{SIGQUIT, false},
                                           SignalCase{SIGTERM, true, SIGHUP}),
                         [](const ::testing::TestParamInfo<SignalCase>& run) {
                             return std::string(sigabbrev_np(run.param.signal)) +
                                    (run.param.duringProbe ? "DuringProbe" : "AtMessage") +
                                    (run.param.ignored != 0 ? "AfterIgnoredHUP" : "");
                         });

// Several ports held at once, each by a thread of its own: the signal puts every one of them
// back as it was found, not only the last one opened.
TEST(SeveralPortsSignalTest, LeavesEveryLineAsItWasFound) {
    ProgramFolder folder;
    ModemSimOptions silent;
    silent.silent = true;
    SimulatedModem first(silent, folder.Dir() + "/modem1.log");
    SimulatedModem second(silent, folder.Dir() + "/modem2.log");
    folder.WriteSettings(ReplaceAll(SampleSettings(first.Device()), "[Ports]\r\n",
                                    "[Ports]\r\nCOM2=" + second.Device() + "\r\n"));
    MakeCooked(first.Device());
    MakeCooked(second.Device());
    const std::string before[] = {LineSettings(first.Device()), LineSettings(second.Device())};

    ProgramFolder::StartOptions options;
    options.args = {"--country", "Germany", "--port", "COM1-COM2"};
    options.beforeExec = [] {
        PlainSignals();
        return true;
    };
    const int console = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = folder.Start(console, options);
    ::close(console);
    ASSERT_TRUE(
        Await([&] { return first.Received() == "ATZE1\r" && second.Received() == "ATZE1\r"; }));
    ::kill(pid, SIGTERM);
    const ProgramResult result = folder.Wait(pid, kHang);

    EXPECT_EQ(result.signal, SIGTERM) << result.err;
    EXPECT_EQ(LineSettings(first.Device()), before[0]);
    EXPECT_EQ(LineSettings(second.Device()), before[1]);
    EXPECT_EQ(ExclusiveFlag(first.Device()), 0);
    EXPECT_EQ(ExclusiveFlag(second.Device()), 0);
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

// Whether the process has the folder open (a write-back holds it while it waits for the lock).
bool HoldsFolderOpen(pid_t pid, const std::string& folder) {
    std::error_code error;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        if (std::filesystem::read_symlink(entry.path(), error) == folder) {
            return true;
        }
    }
    return false;
}

// Whether a signal sent to the process still waits to be taken.
bool SignalPending(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("ShdPnd:")) {
            return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) != 0;
        }
    }
    return false;
}

// SIGTERM while the modem has taken the country and the run waits for the settings folder's
// lock, which another run holds: the choice is still stored once the lock is free, and the
// program then ends by the signal.
TEST(WriteBackSignalTest, SignalWhileWaitingForTheLockKeepsTheChoice) {
    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    const std::string settings = SampleSettings(modem.Device());
    folder.WriteSettings(settings);
    const int held = ::open(folder.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    ProgramFolder::StartOptions options;
    options.args = {"--country", "Japan"};
    options.beforeExec = [] {
        PlainSignals();
        return true;
    };
    const int console = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = folder.Start(console, options);
    ::close(console);
    // The folder opened after the modem's answer is the write-back's.
    ASSERT_TRUE(Await([&] { return modem.Received() == "ATZE1\rAT+GCI?\rAT+GCI=00\rAT+GCI?\r"; }));
    ASSERT_TRUE(Await([&] { return HoldsFolderOpen(pid, folder.Dir()); }));
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(Await([&] { return !SignalPending(pid, SIGTERM); }));
    // Time enough to end before the lock is free, had the signal not waited.
    std::this_thread::sleep_for(300ms);
    ::close(held);
    const ProgramResult result = folder.Wait(pid, kHang);

    EXPECT_EQ(result.signal, SIGTERM) << result.err;
    EXPECT_EQ(folder.ReadSettings(), ReplaceAll(settings, "CurrentSet=0\r\n", "CurrentSet=19\r\n"));
}

// A run stopped (Ctrl-Z, SIGTSTP) while it waits for the country command's answer and continued
// long after its deadline: the modem answered in time, so the answer that waited in the line's
// queue counts and the run succeeds.
TEST(StoppedRunTest, AnswerThatCameWhileStoppedCounts) {
    ProgramFolder folder;
    ModemSimOptions slow;
    slow.delayMs = 800;
    SimulatedModem modem(slow, folder.Dir() + "/modem.log");
    const std::string settings = SampleSettings(modem.Device());
    folder.WriteSettings(settings);

    ProgramFolder::StartOptions options;
    options.args = {"--country", "Japan"};
    options.beforeExec = [] {
        PlainSignals();
        ::signal(SIGTSTP, SIG_DFL);
        return true;
    };
    const int console = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = folder.Start(console, options);
    ::close(console);
    ASSERT_TRUE(Await([&] { return modem.Received() == "ATZE1\rAT+GCI?\rAT+GCI=00\r"; }));
    ::kill(pid, SIGTSTP);
    // The answer comes 0.8 s after the command; the deadline passes while the run is stopped.
    std::this_thread::sleep_for(4s);
    ::kill(pid, SIGCONT);
    const ProgramResult result = folder.Wait(pid, kHang);

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(folder.ReadSettings(), ReplaceAll(settings, "CurrentSet=0\r\n", "CurrentSet=19\r\n"));
}

}  // namespace
}  // namespace countryset::testing
