#include "serial/posix_comm_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modem_sim.h"

namespace countryset {
namespace {

using namespace std::chrono_literals;

// A bare pseudo-terminal: the test plays the modem on the master side.
class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
            ::ptsname_r(master_, name, sizeof name) == 0) {
            path_ = name;
        }
        termios settings{};
        ::tcgetattr(master_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(master_, TCSANOW, &settings);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() { CloseMaster(); }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void CloseMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }
    // Reads from the master until `count` bytes came or half a second passed.
    std::string Read(std::size_t count) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + 500ms;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0) {
                char buffer[256];
                ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    got.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return got;
    }
    void Write(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    int master_ = -1;
    std::string path_;
};

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

DCB LineSettings(std::uint32_t baud = 38400) {
    DCB dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

class PosixDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty_.path().empty());
        handle_ = driver_.CreateFile("COM1");
        ASSERT_NE(handle_, kInvalidHandleValue);
        ASSERT_TRUE(driver_.SetCommState(handle_, LineSettings()));
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

    PtyPair pty_;
    PosixCommDriver driver_{
        [this](std::string_view name) { return name == "COM1" ? pty_.path() : std::string(); }};
    CommHandle handle_ = kInvalidHandleValue;
};

TEST(PosixDriverPaths, DefaultMapsComNToTtySNMinusOne) {
    EXPECT_EQ(PosixCommDriver::DefaultDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PosixCommDriver::DefaultDevicePath("COM8"), "/dev/ttyS7");
    EXPECT_EQ(PosixCommDriver::DefaultDevicePath("COM0"), "");
    EXPECT_EQ(PosixCommDriver::DefaultDevicePath("COM08"), "");
    EXPECT_EQ(PosixCommDriver::DefaultDevicePath("COM"), "");
    EXPECT_EQ(PosixCommDriver::DefaultDevicePath("LPT1"), "");
}

TEST(PosixDriverOpen, MissingOrNonTerminalDeviceFailsAndLeavesNothingOpen) {
    char file[] = "/tmp/countryset-posix-XXXXXX";
    int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    PosixCommDriver driver([&](std::string_view name) {
        return name == "COM1" ? std::string("/nonexistent/ttyX") : std::string(file);
    });
    const int before = OpenDescriptorCount();
    EXPECT_EQ(driver.CreateFile("COM1"), kInvalidHandleValue);
    EXPECT_EQ(driver.CreateFile("COM2"), kInvalidHandleValue);
    EXPECT_EQ(OpenDescriptorCount(), before);
    ::unlink(file);
}

TEST_F(PosixDriverTest, ClosesAndReopensWithAFreshHandle) {
    EXPECT_TRUE(driver_.CloseHandle(handle_));
    EXPECT_FALSE(driver_.CloseHandle(handle_));
    EXPECT_FALSE(driver_.SetCommMask(handle_, EV_RXCHAR));  // a stale handle reaches nothing
    CommHandle again = driver_.CreateFile("COM1");
    ASSERT_NE(again, kInvalidHandleValue);
    EXPECT_NE(again, handle_);
    EXPECT_TRUE(driver_.CloseHandle(again));
}

TEST_F(PosixDriverTest, DeviceLockedByAnotherOpenFails) {
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    // flock belongs to the open file description, so this open competes like another program.
    int other = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(driver_.CreateFile("COM1"), kInvalidHandleValue);
    ::flock(other, LOCK_UN);
    CommHandle handle = driver_.CreateFile("COM1");
    EXPECT_NE(handle, kInvalidHandleValue);
    driver_.CloseHandle(handle);
    ::close(other);
}

TEST_F(PosixDriverTest, OpenPortHoldsItsLockAgainstOthers) {
    int other = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

TEST_F(PosixDriverTest, LineSettingsRoundTripAndUnsupportedRatesFail) {
    DCB dcb;
    ASSERT_TRUE(driver_.GetCommState(handle_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);

    EXPECT_FALSE(driver_.SetCommState(handle_, LineSettings(14400)));
    EXPECT_FALSE(driver_.SetCommState(handle_, LineSettings(0)));
    DCB badSize = LineSettings();
    badSize.ByteSize = 9;
    EXPECT_FALSE(driver_.SetCommState(handle_, badSize));
    ASSERT_TRUE(driver_.GetCommState(handle_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);  // a refused block changes nothing

    // A pseudo-terminal forces eight data bits; only the read-back shows the refusal.
    DCB seven = LineSettings();
    seven.ByteSize = 7;
    EXPECT_FALSE(driver_.SetCommState(handle_, seven));

    DCB slow = LineSettings(9600);
    slow.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(driver_.SetCommState(handle_, slow));
    ASSERT_TRUE(driver_.GetCommState(handle_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
}

TEST_F(PosixDriverTest, RawSettingsAndOriginalRestoredOnClose) {
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    // An observer keeps the terminal alive, so its settings outlive the driver's descriptor.
    int observer = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(observer, 0);
    termios cooked{};
    ASSERT_EQ(::tcgetattr(observer, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_iflag |= ICRNL | IXON;
    ::cfsetospeed(&cooked, B9600);
    ::cfsetispeed(&cooked, B9600);
    ASSERT_EQ(::tcsetattr(observer, TCSANOW, &cooked), 0);

    CommHandle handle = driver_.CreateFile("COM1");
    ASSERT_NE(handle, kInvalidHandleValue);
    // The block the logic reads back and keeps must not carry the terminal's software flow
    // control into the configured line.
    DCB opened;
    ASSERT_TRUE(driver_.GetCommState(handle, &opened));
    EXPECT_EQ(opened.fOutX, 0u);
    EXPECT_EQ(opened.fInX, 0u);
    ASSERT_TRUE(driver_.SetCommState(handle, LineSettings()));
    termios raw{};
    ASSERT_EQ(::tcgetattr(observer, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cflag & (CSIZE | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(::cfgetospeed(&raw), static_cast<speed_t>(B38400));

    ASSERT_TRUE(driver_.CloseHandle(handle));
    termios after{};
    ASSERT_EQ(::tcgetattr(observer, &after), 0);
    EXPECT_EQ(after.c_lflag, cooked.c_lflag);
    EXPECT_EQ(after.c_iflag, cooked.c_iflag);
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B9600));
    ::close(observer);
}

TEST_F(PosixDriverTest, WritesReachTheDeviceAndQueuedInputIsCountedAndRead) {
    OverlappedBlock block;
    std::uint32_t done = 99;
    EXPECT_EQ(driver_.WriteFile(handle_, "ATZE1\r", 6, &done, &block), IoStatus::Finished);
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(pty_.Read(6), "ATZE1\r");

    pty_.Write(std::string("OK\0\r\n", 5));
    EXPECT_EQ(AwaitQueued(5), 5u);
    char buffer[4] = {};
    ASSERT_EQ(driver_.ReadFile(handle_, buffer, 3, &done, &block), IoStatus::Finished);
    EXPECT_EQ(std::string(buffer, done), std::string("OK\0", 3));
    std::uint32_t queued = 0;
    EXPECT_TRUE(driver_.ClearCommError(handle_, &queued));
    EXPECT_EQ(queued, 2u);

    EXPECT_TRUE(driver_.PurgeComm(handle_, 15));
    EXPECT_TRUE(driver_.ClearCommError(handle_, &queued));
    EXPECT_EQ(queued, 0u);
    // Pseudo-terminals have no modem lines; raising DTR must not fail the attach.
    EXPECT_TRUE(driver_.EscapeCommFunction(handle_, SETDTR));
    EXPECT_TRUE(driver_.EscapeCommFunction(handle_, CLRDTR));
}

TEST_F(PosixDriverTest, ReadOfNothingIsPendingUntilBytesArriveOrTheTimeOut) {
    CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 100;
    ASSERT_TRUE(driver_.SetCommTimeouts(handle_, timeouts));
    char buffer[8] = {};
    std::uint32_t done = 99;
    OverlappedBlock block;
    ASSERT_EQ(driver_.ReadFile(handle_, buffer, sizeof buffer, &done, &block), IoStatus::Pending);
    EXPECT_EQ(driver_.GetOverlappedResult(handle_, &block, &done, false), IoStatus::Incomplete);
    EXPECT_EQ(driver_.GetOverlappedResult(handle_, &block, &done, true), IoStatus::Finished);
    EXPECT_EQ(done, 0u);

    ASSERT_EQ(driver_.ReadFile(handle_, buffer, sizeof buffer, &done, &block), IoStatus::Pending);
    std::thread modem([this] {
        std::this_thread::sleep_for(20ms);
        pty_.Write("hi");
    });
    EXPECT_EQ(driver_.GetOverlappedResult(handle_, &block, &done, true), IoStatus::Finished);
    modem.join();
    EXPECT_EQ(std::string(buffer, done), "hi");

    // Interval MAXDWORD with no totals: a read returns at once, empty.
    ASSERT_TRUE(driver_.SetCommTimeouts(handle_, CommTimeouts{MAXDWORD, 0, 0, 0, 0}));
    EXPECT_EQ(driver_.ReadFile(handle_, buffer, sizeof buffer, &done, &block), IoStatus::Finished);
    EXPECT_EQ(done, 0u);
}

TEST_F(PosixDriverTest, WriteTheDeviceCannotTakeAtOnceFinishesLaterOrShortAtTheTimeOut) {
    CommTimeouts timeouts;
    timeouts.WriteTotalTimeoutConstant = 100;
    ASSERT_TRUE(driver_.SetCommTimeouts(handle_, timeouts));
    const std::vector<char> big(256 * 1024, 'x');
    const auto count = static_cast<std::uint32_t>(big.size());
    std::uint32_t done = 0;
    OverlappedBlock block;

    // Nobody reads the master: the write ends short when the time-out runs out.
    ASSERT_EQ(driver_.WriteFile(handle_, big.data(), count, &done, &block), IoStatus::Pending);
    EXPECT_EQ(driver_.GetOverlappedResult(handle_, &block, &done, true), IoStatus::Finished);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, count);
    const std::uint32_t first = done;

    timeouts.WriteTotalTimeoutConstant = 5000;
    ASSERT_TRUE(driver_.SetCommTimeouts(handle_, timeouts));
    std::atomic<bool> draining{true};
    std::size_t drained = 0;
    std::thread reader([&] {
        char buffer[4096];
        while (draining.load(std::memory_order_acquire) || drained < first + count) {
            pollfd entry{pty_.master(), POLLIN, 0};
            if (::poll(&entry, 1, 10) > 0) {
                ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
                if (n > 0) {
                    drained += static_cast<std::size_t>(n);
                }
            } else if (!draining.load(std::memory_order_acquire)) {
                break;
            }
        }
    });
    IoStatus started = driver_.WriteFile(handle_, big.data(), count, &done, &block);
    if (started == IoStatus::Pending) {
        EXPECT_EQ(driver_.GetOverlappedResult(handle_, &block, &done, true), IoStatus::Finished);
    }
    EXPECT_EQ(done, count);
    draining.store(false, std::memory_order_release);
    reader.join();
    EXPECT_EQ(drained, first + count);
}

TEST_F(PosixDriverTest, WaitReportsReceivedCharacters) {
    ASSERT_TRUE(driver_.SetCommMask(handle_, EV_RXCHAR));
    std::uint32_t events = 0;
    ASSERT_TRUE(driver_.WaitCommEvent(handle_, &events));  // the mask change itself
    EXPECT_EQ(events, 0u);
    std::thread modem([this] {
        std::this_thread::sleep_for(20ms);
        pty_.Write("A");
    });
    EXPECT_TRUE(driver_.WaitCommEvent(handle_, &events));
    modem.join();
    EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(PosixDriverTest, MaskChangeWakesAWaitInProgressAndOneAboutToBegin) {
    ASSERT_TRUE(driver_.SetCommMask(handle_, EV_RXCHAR));
    std::uint32_t events = 99;
    ASSERT_TRUE(driver_.WaitCommEvent(handle_, &events));

    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        std::uint32_t got = 99;
        driver_.WaitCommEvent(handle_, &got);
        EXPECT_EQ(got, 0u);
        returned.store(true, std::memory_order_release);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load(std::memory_order_acquire));
    ASSERT_TRUE(driver_.SetCommMask(handle_, 0));
    waiter.join();
    EXPECT_TRUE(returned.load(std::memory_order_acquire));

    // The change came before the wait: the wait must not block.
    ASSERT_TRUE(driver_.SetCommMask(handle_, 0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver_.WaitCommEvent(handle_, &events));
    EXPECT_EQ(events, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(PosixDriverTest, CloseWakesAWaiterAndReleasesTheDeviceAfterIt) {
    ASSERT_TRUE(driver_.SetCommMask(handle_, EV_RXCHAR));
    std::uint32_t events = 0;
    ASSERT_TRUE(driver_.WaitCommEvent(handle_, &events));
    std::thread waiter([&] {
        std::uint32_t got = 0;
        EXPECT_FALSE(driver_.WaitCommEvent(handle_, &got));
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(driver_.CloseHandle(handle_));
    waiter.join();
    CommHandle again = driver_.CreateFile("COM1");
    EXPECT_NE(again, kInvalidHandleValue);
    driver_.CloseHandle(again);
}

TEST_F(PosixDriverTest, HangUpMakesWaitsFailAfterAPauseWithoutSpinning) {
    ASSERT_TRUE(driver_.SetCommMask(handle_, EV_RXCHAR));
    std::uint32_t events = 0;
    ASSERT_TRUE(driver_.WaitCommEvent(handle_, &events));
    pty_.CloseMaster();

    // The watcher's loop: wait, and drain when told to.
    int waits = 0;
    int failures = 0;
    const double cpuBefore = ThreadCpuMs();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 500ms) {
        ++waits;
        if (!driver_.WaitCommEvent(handle_, &events)) {
            ++failures;
        }
        if (events & EV_RXCHAR) {
            std::uint32_t queued = 0;
            char buffer[64];
            OverlappedBlock block;
            std::uint32_t done = 0;
            if (driver_.ClearCommError(handle_, &queued) && queued > 0) {
                driver_.ReadFile(handle_, buffer, sizeof buffer, &done, &block);
            }
        }
    }
    const double cpuMs = ThreadCpuMs() - cpuBefore;
    EXPECT_GE(failures, 1);
    EXPECT_LE(waits, 12);  // about one per 100 ms pause
    EXPECT_LT(cpuMs, 100.0);

    // A mask change still ends a wait on the dead line at once.
    std::thread closer([this] {
        std::this_thread::sleep_for(20ms);
        driver_.SetCommMask(handle_, 0);
    });
    const auto waitStart = std::chrono::steady_clock::now();
    driver_.WaitCommEvent(handle_, &events);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - waitStart, 1s);
    EXPECT_TRUE(driver_.CloseHandle(handle_));
}

TEST(PosixDriverEvents, EventsAreDistinctAndCloseOnce) {
    PosixCommDriver driver;
    CommHandle first = driver.CreateEvent();
    CommHandle second = driver.CreateEvent();
    EXPECT_NE(first, kNullHandle);
    EXPECT_NE(second, kNullHandle);
    EXPECT_NE(first, second);
    EXPECT_FALSE(driver.SetCommMask(first, EV_RXCHAR));  // an event is no port
    EXPECT_TRUE(driver.CloseHandle(first));
    EXPECT_FALSE(driver.CloseHandle(first));
    EXPECT_TRUE(driver.CloseHandle(second));
}

// The whole path the program takes: a watcher thread waits and drains while the user-interface
// thread writes the probe, against the simulated modem.
TEST(PosixDriverWithModem, ProbeDialogueThroughAWatcherThread) {
    ModemSim sim(ModemSimOptions{});
    std::string error;
    ASSERT_TRUE(sim.Open(&error)) << error;
    sim.Start();
    PosixCommDriver driver([&](std::string_view) { return sim.SlavePath(); });
    CommHandle port = driver.CreateFile("COM1");
    ASSERT_NE(port, kInvalidHandleValue);
    ASSERT_TRUE(driver.SetCommState(port, LineSettings()));
    ASSERT_TRUE(driver.SetCommTimeouts(port, CommTimeouts{MAXDWORD, 0, 1000, 0, 1000}));
    ASSERT_TRUE(driver.SetCommMask(port, EV_RXCHAR));

    std::atomic<bool> running{true};
    std::mutex receivedMutex;
    std::string received;
    std::thread watcher([&] {
        char buffer[2048];
        OverlappedBlock block;
        while (running.load(std::memory_order_acquire)) {
            std::uint32_t events = 0;
            driver.WaitCommEvent(port, &events);
            std::uint32_t queued = 0;
            while ((events & EV_RXCHAR) && driver.ClearCommError(port, &queued) && queued > 0) {
                std::uint32_t done = 0;
                if (driver.ReadFile(port, buffer, sizeof buffer, &done, &block) !=
                        IoStatus::Finished ||
                    done == 0) {
                    break;
                }
                std::lock_guard lock(receivedMutex);
                received.append(buffer, done);
            }
        }
    });
    EXPECT_TRUE(driver.EscapeCommFunction(port, SETDTR));
    OverlappedBlock block;
    std::uint32_t done = 0;
    EXPECT_EQ(driver.WriteFile(port, "ATZE1\r", 6, &done, &block), IoStatus::Finished);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        {
            std::lock_guard lock(receivedMutex);
            if (received.size() >= 12 || std::chrono::steady_clock::now() > deadline) {
                break;
            }
        }
        std::this_thread::sleep_for(2ms);
    }
    running.store(false, std::memory_order_release);
    driver.SetCommMask(port, 0);
    watcher.join();
    EXPECT_EQ(received, "ATZE1\r\r\nOK\r\n");
    EXPECT_TRUE(driver.CloseHandle(port));
    sim.Stop();
}

}  // namespace
}  // namespace countryset
