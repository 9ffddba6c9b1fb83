#include "serial/posix_comm_driver.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace countryset {
namespace {

using namespace std::chrono_literals;
using ::testing::_;
using ::testing::FieldsAre;
using ::testing::Ge;
using ::testing::Lt;

// The lowest free descriptor: unchanged across a failed open when nothing leaked.
int LowestFreeDescriptor() {
    const int fd = ::dup(0);
    ::close(fd);
    return fd;
}

double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

int ExclusiveFlag(int fd) {
    int exclusive = -1;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    return exclusive;
}

// Cooked, echoing, 9600 bit/s: what a terminal is before a port driver makes it raw.
termios MakeCooked(int fd) {
    termios cooked{};
    ::tcgetattr(fd, &cooked);
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_iflag |= ICRNL | IXON;
    ::cfsetospeed(&cooked, B9600);
    EXPECT_EQ(::tcsetattr(fd, TCSANOW, &cooked), 0);
    ::tcgetattr(fd, &cooked);
    return cooked;
}

void ExpectSettings(int fd, const termios& want) {
    termios now{};
    ASSERT_EQ(::tcgetattr(fd, &now), 0);
    EXPECT_EQ(now.c_lflag, want.c_lflag);
    EXPECT_EQ(now.c_iflag, want.c_iflag);
    EXPECT_EQ(now.c_oflag, want.c_oflag);
    EXPECT_EQ(::cfgetospeed(&now), ::cfgetospeed(&want));
}

DCB LineSettings(std::uint32_t baud = 38400, std::uint8_t byteSize = 8) {
    DCB dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    return dcb;
}

// The test plays the modem on the master side of a pseudo-terminal; the driver opens its device.
class PosixDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        ASSERT_TRUE(master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
                    ::ptsname_r(master_, name, sizeof name) == 0);
        device_ = name;
        handle_ = driver_.CreateFile("COM1");
        ASSERT_NE(handle_, kInvalidHandleValue);
        ASSERT_TRUE(driver_.SetCommState(handle_, LineSettings()));
    }
    void TearDown() override { ::close(master_); }
    // What the master can read within 50 ms.
    std::string ReadMaster() {
        std::string got;
        char buffer[256];
        pollfd entry{master_, POLLIN, 0};
        for (ssize_t n;
             ::poll(&entry, 1, 50) > 0 && (n = ::read(master_, buffer, sizeof buffer)) > 0;) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    // Waits until the port reports at least `count` queued input bytes.
    std::uint32_t AwaitQueued(std::uint32_t count) {
        std::uint32_t queued = 0;
        const auto deadline = std::chrono::steady_clock::now() + 500ms;
        while (driver_.ClearCommError(handle_, &queued) && queued < count &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return queued;
    }
    // A second open of the device, as another program would make it.
    int OpenOther() const { return ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }
    // Arms a wait for received characters; the first wait returns for the mask change itself.
    void ArmWait() {
        std::uint32_t events = 99;
        ASSERT_TRUE(driver_.SetCommMask(handle_, kEvRxChar));
        ASSERT_TRUE(driver_.WaitCommEvent(handle_, &events));
        ASSERT_EQ(events, 0u);
    }
    // One wait for an event, with `wake` run on another thread 20 ms after it began: whether the
    // wait succeeded, the events it reported and how long it took.
    std::tuple<bool, std::uint32_t, std::chrono::nanoseconds> Wait(auto wake) {
        const auto start = std::chrono::steady_clock::now();
        std::jthread waker([&] {
            std::this_thread::sleep_until(start + 20ms);
            wake();
        });
        std::uint32_t events = 99;
        const bool ok = driver_.WaitCommEvent(handle_, &events);
        return {ok, events, std::chrono::steady_clock::now() - start};
    }

    int master_ = -1;
    std::string device_;
    PosixCommDriver driver_{
        [this](std::string_view name) { return name == "COM1" ? device_ : std::string(); }};
    CommHandle handle_ = kInvalidHandleValue;
};

TEST(PosixDriverOpen, MissingOrNonTerminalDeviceFailsAndLeavesNothingOpen) {
    char file[] = "/tmp/countryset-posix-XXXXXX";
    ::close(::mkstemp(file));
    PosixCommDriver driver([&](std::string_view name) {
        return name == "COM1" ? std::string("/nonexistent/ttyX") : std::string(file);
    });
    const int before = LowestFreeDescriptor();
    EXPECT_EQ(driver.CreateFile("COM1"), kInvalidHandleValue);
    EXPECT_EQ(driver.LastOpenError().problem, PortProblem::NoSuchDevice);
    EXPECT_EQ(driver.LastOpenError().device, "/nonexistent/ttyX");
    EXPECT_EQ(driver.CreateFile("COM2"), kInvalidHandleValue);
    EXPECT_EQ(driver.LastOpenError().problem, PortProblem::NotTerminal);
    EXPECT_EQ(driver.LastOpenError().detail, "not a device");
    EXPECT_EQ(LowestFreeDescriptor(), before);
    ::unlink(file);
}

// Ports opened at the same time on several threads (a run of several ports): each thread
// learns why its own open failed, whatever another thread opened since.
TEST(PosixDriverOpen, EachThreadLearnsWhyItsOwnOpenFailed) {
    PosixCommDriver driver([](std::string_view name) {
        return name == "COM1" ? std::string("/nonexistent/ttyX") : std::string("/dev/null");
    });
    PortOpenError seen;
    std::thread first([&] {
        EXPECT_EQ(driver.CreateFile("COM1"), kInvalidHandleValue);
        // Another thread's failure of another kind comes between the open and the question.
        std::thread([&] {
            EXPECT_EQ(driver.CreateFile("COM2"), kInvalidHandleValue);
            EXPECT_EQ(driver.LastOpenError().problem, PortProblem::NotTerminal);
        }).join();
        seen = driver.LastOpenError();
    });
    first.join();
    EXPECT_EQ(seen.problem, PortProblem::NoSuchDevice);
    EXPECT_EQ(seen.device, "/nonexistent/ttyX");
    // A thread that opened nothing has nothing to learn.
    EXPECT_EQ(driver.LastOpenError().problem, PortProblem::None);
}

// A settings file that others can write may name any device; as root the program must not even
// open one that is no terminal. The kernel reports every open of the node to a watcher.
TEST(PosixDriverOpen, DeviceOfAnotherKindIsNeverOpened) {
    char dir[] = "/tmp/countryset-node-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string node = std::string(dir) + "/zero", link = std::string(dir) + "/ttyUSB0";
    if (::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, 5)) != 0) {
        ::rmdir(dir);
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
    }
    ASSERT_EQ(::symlink(node.c_str(), link.c_str()), 0);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, node.c_str(), IN_OPEN), 0);
    {
        // The watch works: an open of the node is seen.
        const int probe = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(probe, 0);
        ::close(probe);
        inotify_event events[4];
        ASSERT_GT(::read(watch, events, sizeof events), 0);
    }
    PosixCommDriver driver([&](std::string_view name) { return name == "COM1" ? node : link; });
    EXPECT_EQ(driver.CreateFile("COM1"), kInvalidHandleValue);
    EXPECT_EQ(driver.LastOpenError().problem, PortProblem::NotTerminal);
    EXPECT_EQ(driver.LastOpenError().detail, "its driver is 'mem'");
    EXPECT_EQ(driver.CreateFile("COM2"), kInvalidHandleValue);
    inotify_event events[4];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "the device was opened";
    ::close(watch);
    ::unlink(link.c_str());
    ::unlink(node.c_str());
    ::rmdir(dir);
}

TEST_F(PosixDriverTest, DeviceIsHeldExclusivelyThroughItsLock) {
    // flock belongs to the open file description, so another open competes like another program.
    int other = OpenOther();
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(driver_.CreateFile("COM1"), kInvalidHandleValue);
    ::close(other);  // and with it the lock
    handle_ = driver_.CreateFile("COM1");
    EXPECT_NE(handle_, kInvalidHandleValue);
}

// Another program's lock names it; a mark of exclusive use that no running program holds, and a
// device the operator may not open, each say so (seen from an unprivileged child: root passes
// both checks).
TEST_F(PosixDriverTest, APortInUseOrForbiddenSaysWhyAndWho) {
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = OpenOther();
        char one = ::flock(fd, LOCK_EX) == 0 ? '1' : '0';
        (void)!::write(ready[1], &one, 1);
        ::pause();
        ::_exit(0);
    }
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    EXPECT_EQ(driver_.CreateFile("COM1"), kInvalidHandleValue);
    const PortOpenError busy = driver_.LastOpenError();
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(busy.problem, PortProblem::InUse);
    EXPECT_THAT(busy.holder, ::testing::EndsWith(", process " + std::to_string(holder)));

    // Marked for exclusive use by an open that has ended; the master keeps the terminal alive.
    const int marked = OpenOther();
    ASSERT_EQ(::ioctl(marked, TIOCEXCL), 0);
    ::close(marked);
    const group* dialout = ::getgrnam("dialout");
    auto problemAsNobody = [&] {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(100);
            }
            PosixCommDriver driver([this](std::string_view) { return device_; });
            driver.CreateFile("COM1");
            const PortOpenError e = driver.LastOpenError();
            ::_exit(static_cast<int>(e.problem) * 2 + (e.group == "dialout" ? 1 : 0));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    if (::geteuid() != 0 || dialout == nullptr) {
        GTEST_SKIP() << "needs root and a dialout group to look as another user";
    }
    ASSERT_EQ(::chmod(device_.c_str(), 0666), 0);
    EXPECT_EQ(problemAsNobody(), static_cast<int>(PortProblem::ExclusiveLeftBehind) * 2);
    ASSERT_EQ(::chown(device_.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(device_.c_str(), 0660), 0);
    EXPECT_EQ(problemAsNobody(), static_cast<int>(PortProblem::PermissionDenied) * 2 + 1);
}

TEST_F(PosixDriverTest, RefusedLineSettingsFailAndChangeNothing) {
    // A pseudo-terminal forces eight data bits; only the read-back shows that refusal.
    for (const DCB& refused :
         {LineSettings(14400), LineSettings(0), LineSettings(38400, 9), LineSettings(38400, 7)}) {
        SCOPED_TRACE(refused.BaudRate * 10 + refused.ByteSize);
        EXPECT_FALSE(driver_.SetCommState(handle_, refused));
    }
    DCB dcb;
    ASSERT_TRUE(driver_.GetCommState(handle_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    DCB slow = LineSettings(9600);
    slow.StopBits = kTwoStopBits;
    ASSERT_TRUE(driver_.SetCommState(handle_, slow));
    ASSERT_TRUE(driver_.GetCommState(handle_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.StopBits, kTwoStopBits);
}

TEST_F(PosixDriverTest, OpensRawWithoutFlowControlAndRestoresTheTerminalOnClose) {
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    // An observer keeps the terminal alive, so its settings outlive the driver's descriptor.
    int observer = OpenOther();
    ASSERT_GE(observer, 0);
    const termios cooked = MakeCooked(observer);
    EXPECT_EQ(ExclusiveFlag(observer), 0);

    handle_ = driver_.CreateFile("COM1");
    ASSERT_NE(handle_, kInvalidHandleValue);
    // Root opens a device held with TIOCEXCL all the same, so the flag itself is checked.
    EXPECT_EQ(ExclusiveFlag(observer), 1);
    // The block the logic reads back and keeps must not carry the terminal's software flow
    // control into the configured line: a modem's BEL would stall our writes.
    DCB opened;
    ASSERT_TRUE(driver_.GetCommState(handle_, &opened));
    EXPECT_EQ(opened.fOutX, 0u);
    EXPECT_EQ(opened.fInX, 0u);
    ASSERT_TRUE(driver_.SetCommState(handle_, LineSettings()));
    termios now{};
    ASSERT_EQ(::tcgetattr(observer, &now), 0);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(now.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);

    ASSERT_TRUE(driver_.CloseHandle(handle_));
    ExpectSettings(observer, cooked);
    EXPECT_EQ(ExclusiveFlag(observer), 0);
    ::close(observer);
}

// As the process ends by a signal, on another thread than the one that uses the port: the line
// is as it was found, the device free, a waiting watcher woken, and no later call touches the
// device or opens another.
TEST_F(PosixDriverTest, ReleaseAllPortsLeavesTheLineAsFoundAndRefusesLaterCalls) {
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    const int observer = OpenOther();
    ASSERT_GE(observer, 0);
    const termios cooked = MakeCooked(observer);
    handle_ = driver_.CreateFile("COM1");
    ASSERT_NE(handle_, kInvalidHandleValue);
    ASSERT_TRUE(driver_.SetCommState(handle_, LineSettings()));
    ASSERT_NE(::flock(observer, LOCK_EX | LOCK_NB), 0);
    ArmWait();

    EXPECT_THAT(Wait([this] { driver_.ReleaseAllPorts(); }), FieldsAre(false, _, Ge(20ms)));
    ExpectSettings(observer, cooked);
    EXPECT_EQ(ExclusiveFlag(observer), 0);
    EXPECT_EQ(::flock(observer, LOCK_EX | LOCK_NB), 0);
    ::flock(observer, LOCK_UN);

    EXPECT_FALSE(driver_.SetCommState(handle_, LineSettings()));
    EXPECT_FALSE(driver_.PurgeComm(handle_, 15));
    EXPECT_FALSE(driver_.EscapeCommFunction(handle_, kSetDtr));
    OverlappedBlock block;
    std::uint32_t done = 0;
    EXPECT_EQ(driver_.WriteFile(handle_, "AT\r", 3, &done, &block), IoStatus::Failed);
    EXPECT_EQ(ReadMaster(), "");
    ExpectSettings(observer, cooked);
    EXPECT_EQ(driver_.CreateFile("COM1"), kInvalidHandleValue);
    EXPECT_EQ(ExclusiveFlag(observer), 0);
    ::close(observer);
}

// The operator's terminal, however it is named or reached, is never opened as a port; another
// terminal is. Each case runs in a child of its own session, which may get a controlling
// terminal or put the terminal on one of its standard descriptors.
TEST(PosixDriverOpen, TheOperatorsOwnTerminalIsRefusedUntouched) {
    enum Reach { kControlling, kOnDescriptor, kOther };
    // How the child reaches the terminal, which descriptor, the name it asks for, whether opened.
    const std::tuple<const char*, Reach, int, bool, bool> cases[] = {
        {"controlling terminal, by name", kControlling, -1, false, false},
        {"controlling terminal, as /dev/tty", kControlling, -1, true, false},
        {"stdin's terminal", kOnDescriptor, STDIN_FILENO, false, false},
        {"stdout's terminal", kOnDescriptor, STDOUT_FILENO, false, false},
        {"stderr's terminal", kOnDescriptor, STDERR_FILENO, false, false},
        {"a terminal of nobody's", kOther, -1, false, true},
    };
    for (const auto& [name, reach, descriptor, viaDevTty, opens] : cases) {
        SCOPED_TRACE(name);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char path[128] = {};
        ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                    ::ptsname_r(master, path, sizeof path) == 0);
        const int held = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        const termios cooked = MakeCooked(held);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setsid();
            const int fd = ::open(path, O_RDWR | (reach == kControlling ? 0 : O_NOCTTY));
            if (fd < 0 || (reach == kOnDescriptor && ::dup2(fd, descriptor) < 0)) {
                ::_exit(3);
            }
            PosixCommDriver driver([&](std::string_view) {
                return viaDevTty ? std::string("/dev/tty") : std::string(path);
            });
            const CommHandle handle = driver.CreateFile("COM1");
            const int opened = handle == kInvalidHandleValue ? 0 : ExclusiveFlag(fd) == 1 ? 1 : 2;
            driver.CloseHandle(handle);
            ::_exit(opened);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), opens ? 1 : 0);
        ExpectSettings(held, cooked);
        ::close(held);
        ::close(master);
    }
}

// Deadlines count on this clock: the monotonic one, which no step of the wall clock moves.
TEST(PosixDriverClock, TicksAreTheMonotonicClockInMilliseconds) {
    PosixCommDriver driver([](std::string_view) { return std::string(); });
    timespec before{}, after{};
    ::clock_gettime(CLOCK_MONOTONIC, &before);
    const std::uint64_t ticks = driver.GetTickCount64();
    ::clock_gettime(CLOCK_MONOTONIC, &after);
    auto ms = [](const timespec& t) {
        return static_cast<std::uint64_t>(t.tv_sec) * 1000 +
               static_cast<std::uint64_t>(t.tv_nsec) / 1000000;
    };
    EXPECT_GE(ticks, ms(before));
    EXPECT_LE(ticks, ms(after));
}

TEST_F(PosixDriverTest, WritesReachTheDeviceAndReceivedBytesAreReportedCountedAndRead) {
    OverlappedBlock block;
    std::uint32_t done = 99;
    EXPECT_EQ(driver_.WriteFile(handle_, "ATZE1\r", 6, &done, &block), IoStatus::Finished);
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(ReadMaster(), "ATZE1\r");

    ArmWait();
    EXPECT_THAT(Wait([this] { EXPECT_EQ(::write(master_, "OK\0\r\n", 5), 5); }),
                FieldsAre(true, kEvRxChar, Ge(20ms)));
    EXPECT_EQ(AwaitQueued(5), 5u);
    char buffer[4] = {};
    ASSERT_EQ(driver_.ReadFile(handle_, buffer, 3, &done, &block), IoStatus::Finished);
    EXPECT_EQ(std::string(buffer, done), std::string("OK\0", 3));
    EXPECT_EQ(AwaitQueued(2), 2u);
}

// With nobody reading at the far end (or a modem holding CTS low) a write ends short.
TEST_F(PosixDriverTest, WriteTheDeviceCannotTakeEndsShortAtItsTimeOut) {
    ASSERT_TRUE(driver_.SetCommTimeouts(handle_, CommTimeouts{0, 0, 0, 0, 100}));
    const std::string big(256 * 1024, 'x');
    std::uint32_t done = 0;
    OverlappedBlock block;
    ASSERT_EQ(driver_.WriteFile(handle_, big.data(), 256 * 1024, &done, &block), IoStatus::Pending);
    EXPECT_EQ(driver_.GetOverlappedResult(handle_, &block, &done, true), IoStatus::Finished);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, big.size());
}

TEST_F(PosixDriverTest, MaskChangeWakesAWaitInProgressAndOneAboutToBegin) {
    ArmWait();
    EXPECT_THAT(Wait([this] { EXPECT_TRUE(driver_.SetCommMask(handle_, 0)); }),
                FieldsAre(true, 0u, Ge(20ms)));
    // The change came before the wait: the wait must not block.
    ASSERT_TRUE(driver_.SetCommMask(handle_, 0));
    EXPECT_THAT(Wait([] {}), FieldsAre(true, 0u, Lt(2s)));
}

TEST_F(PosixDriverTest, CloseWakesAWaiterWithFailureAndReleasesTheDevice) {
    ArmWait();
    EXPECT_THAT(Wait([this] { EXPECT_TRUE(driver_.CloseHandle(handle_)); }),
                FieldsAre(false, _, Ge(20ms)));
    EXPECT_FALSE(driver_.CloseHandle(handle_));
    EXPECT_FALSE(driver_.SetCommMask(handle_, kEvRxChar));  // a stale handle reaches nothing
    const CommHandle stale = handle_;
    handle_ = driver_.CreateFile("COM1");
    EXPECT_NE(handle_, kInvalidHandleValue);
    EXPECT_NE(handle_, stale);
}

TEST_F(PosixDriverTest, HangUpMakesWaitsFailAfterAPauseWithoutSpinning) {
    ArmWait();
    ::close(master_);
    master_ = -1;
    // The watcher's loop on a dead line: every wait fails, but only after a pause.
    int waits = 0, failures = 0;
    std::uint32_t events = 0;
    const double cpuBefore = ThreadCpuMs();
    for (const auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < 500ms; ++waits) {
        failures += driver_.WaitCommEvent(handle_, &events) ? 0 : 1;
    }
    EXPECT_GE(failures, 1);
    EXPECT_LE(waits, 12);  // about one per 100 ms pause
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 100.0);

    // A mask change still ends a wait on the dead line at once.
    EXPECT_THAT(Wait([this] { driver_.SetCommMask(handle_, 0); }), FieldsAre(_, _, Lt(1s)));
}

// Several ports in use at once, each on a thread of its own that opens, configures, waits and
// closes it over and over, and the release for the process's end arriving among them: every
// call works or is refused, the release returns, and each terminal is left as it was found.
TEST(PosixDriverThreads, PortsOnSeveralThreadsAndTheReleaseAmongThem) {
    constexpr int kPorts = 4;
    struct Pty {
        int master = -1;
        std::string device;
        int observer = -1;
        termios cooked{};
    } ptys[kPorts];
    for (Pty& pty : ptys) {
        pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        ASSERT_TRUE(pty.master >= 0 && ::grantpt(pty.master) == 0 && ::unlockpt(pty.master) == 0 &&
                    ::ptsname_r(pty.master, name, sizeof name) == 0);
        pty.device = name;
        pty.observer = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        pty.cooked = MakeCooked(pty.observer);
    }
    PosixCommDriver driver([&](std::string_view name) {
        const int index = name.size() == 4 ? name[3] - '1' : -1;
        return index >= 0 && index < kPorts ? ptys[index].device : std::string();
    });
    std::atomic<int> rounds{0};
    {
        std::vector<std::jthread> users;
        for (int i = 0; i < kPorts; ++i) {
            users.emplace_back([&, i] {
                const std::string name = "COM" + std::to_string(i + 1);
                for (;;) {
                    const CommHandle port = driver.CreateFile(name);
                    if (port == kInvalidHandleValue) {
                        return;  // released
                    }
                    driver.SetCommState(port, LineSettings());
                    driver.EscapeCommFunction(port, kSetDtr);
                    driver.SetCommMask(port, kEvRxChar);
                    std::uint32_t events = 0;
                    driver.WaitCommEvent(port, &events);
                    std::uint32_t queued = 0;
                    driver.ClearCommError(port, &queued);
                    driver.PurgeComm(port, 15);
                    driver.CloseHandle(port);
                    rounds.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
        for (const auto until = std::chrono::steady_clock::now() + 20s;
             rounds.load(std::memory_order_relaxed) < 4 * kPorts &&
             std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(1ms);
        }
        driver.ReleaseAllPorts();
    }
    EXPECT_GE(rounds.load(), 4 * kPorts);
    for (Pty& pty : ptys) {
        ExpectSettings(pty.observer, pty.cooked);
        EXPECT_EQ(ExclusiveFlag(pty.observer), 0);
        EXPECT_EQ(::flock(pty.observer, LOCK_EX | LOCK_NB), 0);
        ::close(pty.observer);
        ::close(pty.master);
    }
}

}  // namespace
}  // namespace countryset
