// The POSIX driver's record of an open port and the small helpers its files share; private to
// the driver's files.
#pragma once

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "serial/posix_comm_driver.h"

namespace countryset {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, for poll(); -1 waits without end.
inline int PollTimeout(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return left.count() > 60000 ? 60000 : static_cast<int>(left.count());
}

inline std::optional<Clock::time_point> DeadlineAfter(std::uint64_t milliseconds) {
    if (milliseconds == 0) {
        return std::nullopt;
    }
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// Modem-control lines; a pseudo-terminal has none, which is no reason to fail.
inline bool SetModemLine(int fd, unsigned long request, int line) {
    if (::ioctl(fd, request, &line) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP;
}

struct PosixCommDriver::Port {
    Port(int deviceFd, int wakeFd, const termios& original)
        : fd(deviceFd), wake(wakeFd), originalTermios(original) {}
    ~Port() {
        ::close(wake);
        ::close(fd);  // also releases the flock
    }
    // Puts the device back as it was found, once; a full release also drops DTR and empties
    // both queues first, as a close does. The caller holds the driver's line lock.
    void Release(bool full) {
        if (closed.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        SignalWake();
        if (full) {
            SetModemLine(fd, TIOCMBIC, TIOCM_DTR);
            ::tcflush(fd, TCIOFLUSH);
        }
        ::tcsetattr(fd, TCSANOW, &originalTermios);
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Wakes a WaitCommEvent; the count stays in the eventfd until a wait consumes it.
    void SignalWake() const {
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(wake, &one, sizeof one);
        (void)ignored;
    }
    void ConsumeWake() const {
        std::uint64_t count = 0;
        ssize_t ignored = ::read(wake, &count, sizeof count);
        (void)ignored;
    }
    // Waits on the wake-up descriptor alone; true when it was signalled.
    bool RestOnWake(int milliseconds) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            pollfd entry{wake, POLLIN, 0};
            int result = ::poll(&entry, 1, PollTimeout(deadline));
            if (result > 0) {
                ConsumeWake();
                return true;
            }
            if (result == 0 || errno != EINTR) {
                return false;
            }
        }
    }
    std::uint32_t QueuedIn() const {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) {
            return 0;
        }
        return static_cast<std::uint32_t>(queued);
    }
    CommTimeouts Timeouts() {
        std::lock_guard lock(timeoutsMutex);
        return timeouts;
    }

    const int fd;
    const int wake;
    const termios originalTermios;
    std::atomic<std::uint32_t> mask{0};
    std::atomic<bool> closed{false};
    // Set by a failed read so that the next wait rests instead of reporting at once.
    std::atomic<bool> readFailed{false};
    std::mutex timeoutsMutex;
    CommTimeouts timeouts;
};

}  // namespace countryset
