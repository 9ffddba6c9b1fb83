#include "serial/posix_terminal_line.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "serial/posix_termios.h"
#include "serial/posix_tty_device.h"

namespace countryset {

namespace {

// Milliseconds left until the deadline, for poll(); -1 waits without end.
int PollTimeout(LineDeadline deadline) {
    if (deadline == kNoDeadline) {
        return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - LineClock::now()).count();
    if (left <= 0) {
        return 0;
    }
    // Rounded up, so a wait never ends just before its deadline and spins out the rest.
    return left >= 60000 ? 60000 : static_cast<int>(left) + 1;
}

// Modem-control lines; a pseudo-terminal has none, which is no reason to fail.
bool SetWire(int fd, unsigned long request, int wire) {
    if (::ioctl(fd, request, &wire) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP;
}

class PosixTerminalLine final : public Line {
public:
    PosixTerminalLine(int deviceFd, int wakeFd, int closedFd, const termios& original)
        : fd_(deviceFd), wake_(wakeFd), closedFd_(closedFd), original_(original) {}
    ~PosixTerminalLine() override {
        ::close(closedFd_);
        ::close(wake_);
        ::close(fd_);  // also releases the flock
    }
    PosixTerminalLine(const PosixTerminalLine&) = delete;
    PosixTerminalLine& operator=(const PosixTerminalLine&) = delete;

    bool Configure(const DCB& dcb) override {
        std::shared_lock change(changeMutex_);
        termios settings{};
        if (Closed() || ::tcgetattr(fd_, &settings) != 0 || !ApplyDcb(dcb, settings) ||
            ::tcsetattr(fd_, TCSANOW, &settings) != 0) {
            return false;
        }
        // tcsetattr succeeds when any part was applied; what the device took shows on read-back.
        termios applied{};
        if (::tcgetattr(fd_, &applied) != 0 ||
            ::cfgetospeed(&applied) != ::cfgetospeed(&settings) ||
            (applied.c_cflag & CSIZE) != (settings.c_cflag & CSIZE)) {
            return false;
        }
        const bool dtr = dcb.fDtrControl != kDtrControlDisable;
        const bool rts = dcb.fRtsControl != kRtsControlDisable;
        return SetWire(fd_, dtr ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) &&
               SetWire(fd_, rts ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
    }

    bool Settings(DCB* dcb) override {
        termios settings{};
        if (::tcgetattr(fd_, &settings) != 0) {
            return false;
        }
        int wires = 0;
        const bool haveWires = ::ioctl(fd_, TIOCMGET, &wires) == 0;
        *dcb = DcbOfTermios(settings, haveWires ? std::optional<int>(wires) : std::nullopt);
        return true;
    }

    bool SetModemLine(ModemLine wire, bool raised) override {
        std::shared_lock change(changeMutex_);
        return !Closed() && SetWire(fd_, raised ? TIOCMBIS : TIOCMBIC,
                                    wire == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS);
    }

    bool Purge(bool input, bool output) override {
        std::shared_lock change(changeMutex_);
        if (Closed()) {
            return false;
        }
        if (!input && !output) {
            return true;
        }
        return ::tcflush(fd_, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) == 0;
    }

    bool Queued(std::uint32_t* count) override {
        int queued = 0;
        if (Closed() || ::ioctl(fd_, FIONREAD, &queued) != 0) {
            return false;
        }
        *count = queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
        return true;
    }

    LineIo Read(void* dest, std::uint32_t count) override {
        std::shared_lock change(changeMutex_);
        if (Closed()) {
            return {0, LineStatus::Closed};
        }
        ssize_t result;
        do {
            result = ::read(fd_, dest, count);
        } while (result < 0 && errno == EINTR);
        if (result > 0) {
            return {static_cast<std::uint32_t>(result), LineStatus::Ok};
        }
        if (result == 0) {
            // With VMIN and VTIME at 0 an empty terminal reads as 0 bytes rather than EAGAIN,
            // and so does one that has hung up: only the hang-up's mark tells them apart.
            pollfd entry{fd_, POLLIN, 0};
            const bool gone =
                ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0;
            return {0, gone ? LineStatus::HungUp : LineStatus::Ok};
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {};
        }
        return {0, errno == EIO ? LineStatus::HungUp : LineStatus::Failed};
    }

    LineIo Write(const void* src, std::uint32_t count, LineDeadline deadline) override {
        LineIo io;
        const auto* bytes = static_cast<const unsigned char*>(src);
        while (io.moved < count) {
            {
                // One system call at a time under the lock, none across the wait, so Close
                // neither waits for a stalled write nor lets a byte through after it.
                std::shared_lock change(changeMutex_);
                if (Closed()) {
                    io.status = LineStatus::Closed;
                    return io;
                }
                ssize_t result;
                do {
                    result = ::write(fd_, bytes + io.moved, count - io.moved);
                } while (result < 0 && errno == EINTR);
                if (result > 0) {
                    io.moved += static_cast<std::uint32_t>(result);
                    continue;
                }
                if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    io.status = errno == EIO ? LineStatus::HungUp : LineStatus::Failed;
                    return io;
                }
            }
            const int timeout = PollTimeout(deadline);
            if (timeout == 0) {
                return io;  // the deadline: a short count
            }
            pollfd entries[2] = {{closedFd_, POLLIN, 0}, {fd_, POLLOUT, 0}};
            const int result = ::poll(entries, 2, timeout);
            if (result < 0 && errno != EINTR) {
                io.status = LineStatus::Failed;
                return io;
            }
            if ((entries[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                (entries[1].revents & POLLOUT) == 0) {
                io.status = LineStatus::HungUp;
                return io;
            }
        }
        return io;
    }

    LineWait Wait(bool forInput, LineDeadline deadline) override {
        for (;;) {
            if (Closed()) {
                return LineWait::Closed;
            }
            pollfd entries[3] = {
                {closedFd_, POLLIN, 0}, {wake_, POLLIN, 0}, {forInput ? fd_ : -1, POLLIN, 0}};
            const int result = ::poll(entries, 3, PollTimeout(deadline));
            if (result < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return LineWait::Failed;
            }
            if (Closed()) {
                return LineWait::Closed;
            }
            if ((entries[1].revents & POLLIN) != 0) {
                std::uint64_t wakes = 0;
                if (::read(wake_, &wakes, sizeof wakes) == static_cast<ssize_t>(sizeof wakes)) {
                    return LineWait::Woken;
                }
                continue;  // another wait took it
            }
            const short revents = entries[2].revents;
            if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                std::uint32_t queued = 0;
                // What came before the hang-up is read first.
                return (revents & POLLNVAL) == 0 && Queued(&queued) && queued > 0
                           ? LineWait::Input
                           : LineWait::HungUp;
            }
            if ((revents & POLLIN) != 0) {
                return LineWait::Input;
            }
            if (result == 0 && PollTimeout(deadline) == 0) {
                return LineWait::TimedOut;
            }
        }
    }

    void Wake() override {
        // One count per call; a wait takes them all at once, which ends it once.
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(wake_, &one, sizeof one);
        (void)ignored;
    }

    void Close(bool full) override {
        if (closed_.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        // Never read: it stays readable, and every wait and write sees the close at once.
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(closedFd_, &one, sizeof one);
        (void)ignored;
        std::unique_lock change(changeMutex_);
        if (full) {
            SetWire(fd_, TIOCMBIC, TIOCM_DTR);
            ::tcflush(fd_, TCIOFLUSH);
        }
        ::tcsetattr(fd_, TCSANOW, &original_);
        ::ioctl(fd_, TIOCNXCL);
        ::flock(fd_, LOCK_UN);
    }

private:
    bool Closed() const { return closed_.load(std::memory_order_acquire); }

    const int fd_;
    const int wake_;
    const int closedFd_;
    const termios original_;
    std::atomic<bool> closed_{false};
    // Every call that changes the device holds it shared; Close holds it alone.
    std::shared_mutex changeMutex_;
};

}  // namespace

std::unique_ptr<Line> OpenPosixTerminalLine(const std::string& path, PortOpenError& error) {
    termios original{};
    const int fd = OpenPortDevice(path, &original, error);
    if (fd < 0) {
        return nullptr;
    }
    // A freshly opened port starts raw, without software flow control, as serial drivers start
    // theirs: a tty's usual defaults (IXON among them) would otherwise survive ConfigurePort,
    // which keeps the flow-control fields it reads, and a modem's stop character would stall
    // our writes.
    termios raw = original;
    ::cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &raw);
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int closed = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::unique_ptr<Line> line;
    if (wake >= 0 && closed >= 0) {
        line.reset(new (std::nothrow) PosixTerminalLine(fd, wake, closed, original));
    }
    if (!line) {
        ::tcsetattr(fd, TCSANOW, &original);
        ::ioctl(fd, TIOCNXCL);
        for (int owned : {wake, closed, fd}) {
            if (owned >= 0) {
                ::close(owned);
            }
        }
        error.problem = PortProblem::Other;
        error.detail = "out of resources";
    }
    return line;
}

}  // namespace countryset
