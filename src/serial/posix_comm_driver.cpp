#include "serial/posix_comm_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "serial/posix_tty_device.h"

namespace countryset {

namespace {

// Opens a port's device for reading and writing only when it is a terminal. The name comes from
// a settings file that others may write, and the program often runs as root: a device of any
// other kind is never opened at all (opening one can start a watchdog or rewind a tape). The
// node is looked at through a path handle, which does not open the device, and the device is
// then opened through that very handle, so a link swapped in meanwhile changes nothing.
int OpenTerminalDevice(const std::string& path) {
    const int node = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (node < 0) {
        return -1;
    }
    struct stat info {};
    const TtyDevice kind =
        ::fstat(node, &info) == 0 ? ClassifyTtyDevice(info) : TtyDevice::NotDevice;
    int fd = -1;
    if (kind == TtyDevice::Terminal || kind == TtyDevice::Unknown) {
        fd = ::open(("/proc/self/fd/" + std::to_string(node)).c_str(),
                    O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        struct stat opened {};
        if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_rdev != info.st_rdev ||
                        opened.st_ino != info.st_ino || opened.st_dev != info.st_dev)) {
            ::close(fd);
            fd = -1;
        }
    }
    ::close(node);
    return fd;
}

using Clock = std::chrono::steady_clock;

struct BaudEntry {
    std::uint32_t rate;
    speed_t speed;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

std::optional<speed_t> SpeedOf(std::uint32_t rate) {
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.rate == rate) {
            return entry.speed;
        }
    }
    return std::nullopt;
}

std::uint32_t RateOf(speed_t speed) {
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

std::optional<tcflag_t> CharacterSizeOf(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

// Milliseconds left until the deadline, for poll(); -1 waits without end.
int PollTimeout(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return left.count() > 60000 ? 60000 : static_cast<int>(left.count());
}

std::optional<Clock::time_point> DeadlineAfter(std::uint64_t milliseconds) {
    if (milliseconds == 0) {
        return std::nullopt;
    }
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// Modem-control lines; a pseudo-terminal has none, which is no reason to fail.
bool SetModemLine(int fd, unsigned long request, int line) {
    if (::ioctl(fd, request, &line) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP;
}

bool SameDevice(const struct stat& a, const struct stat& b) {
    return (a.st_dev == b.st_dev && a.st_ino == b.st_ino) ||
           (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev);
}

// The terminal the operator works in is never a modem: raw mode would take Enter, Ctrl-C and
// Ctrl-D away from them. That is /dev/tty itself, the controlling terminal under any name, and
// whatever terminal stdin, stdout or stderr is on.
bool IsOperatorsTerminal(int fd) {
    struct stat device {};
    if (::fstat(fd, &device) != 0) {
        return true;
    }
    struct stat other {};
    if (::stat("/dev/tty", &other) == 0 && SameDevice(device, other)) {
        return true;
    }
    // Answers only for the controlling terminal of our own session (or a pseudo-terminal master).
    const pid_t session = ::tcgetsid(fd);
    if (session != -1 && session == ::getsid(0)) {
        return true;
    }
    for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fstat(standard, &other) == 0 && SameDevice(device, other)) {
            return true;
        }
    }
    return false;
}

}  // namespace

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

PosixCommDriver::PosixCommDriver(PortResolver resolver) : resolver_(std::move(resolver)) {}

PosixCommDriver::~PosixCommDriver() {
    ReleaseAllPorts();
}

void PosixCommDriver::ReleaseAllPorts() {
    std::unique_lock line(lineMutex_);
    released_ = true;
    std::lock_guard lock(mutex_);
    for (auto& [handle, record] : records_) {
        if (record.port) {
            record.port->Release(true);
        }
    }
}

std::shared_ptr<PosixCommDriver::Port> PosixCommDriver::FindLivePort(
    CommHandle handle, std::shared_lock<std::shared_mutex>& line) {
    line = std::shared_lock(lineMutex_);
    auto port = FindPort(handle);
    if (!port || port->closed.load(std::memory_order_acquire)) {
        line.unlock();
        return nullptr;
    }
    return port;
}

CommHandle PosixCommDriver::Insert(Record record) {
    try {
        std::lock_guard lock(mutex_);
        CommHandle handle = nextHandle_++;
        records_.emplace(handle, std::move(record));
        return handle;
    } catch (const std::bad_alloc&) {
        return kNullHandle;
    }
}

std::shared_ptr<PosixCommDriver::Port> PosixCommDriver::FindPort(CommHandle handle) {
    std::lock_guard lock(mutex_);
    auto found = records_.find(handle);
    if (found == records_.end()) {
        return nullptr;
    }
    return found->second.port;
}

CommHandle PosixCommDriver::CreateFile(std::string_view portName) {
    std::string path;
    try {
        path = resolver_(portName);
    } catch (...) {
        return kInvalidHandleValue;
    }
    if (path.empty()) {
        return kInvalidHandleValue;
    }
    // Held until the port is on record, so that ReleaseAllPorts finds it.
    std::shared_lock line(lineMutex_);
    if (released_) {
        return kInvalidHandleValue;
    }
    int fd = OpenTerminalDevice(path);
    if (fd < 0) {
        return kInvalidHandleValue;
    }
    termios original{};
    // Exclusive like a serial port of the old model: flock against cooperating programs,
    // TIOCEXCL against any other opener.
    if (!::isatty(fd) || IsOperatorsTerminal(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::tcgetattr(fd, &original) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return kInvalidHandleValue;
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
    int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ::tcsetattr(fd, TCSANOW, &original);
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return kInvalidHandleValue;
    }
    std::shared_ptr<Port> port;
    try {
        port = std::make_shared<Port>(fd, wake, original);
    } catch (const std::bad_alloc&) {
        ::tcsetattr(fd, TCSANOW, &original);
        ::ioctl(fd, TIOCNXCL);
        ::close(wake);
        ::close(fd);
        return kInvalidHandleValue;
    }
    CommHandle handle = Insert(Record{port});
    if (handle == kNullHandle) {
        port->Release(false);
        return kInvalidHandleValue;  // port's destructor closes both descriptors
    }
    return handle;
}

bool PosixCommDriver::CloseHandle(CommHandle handle) {
    // Removing and restoring are one step for ReleaseAllPorts: it sees the port before or after.
    std::shared_lock line(lineMutex_);
    std::shared_ptr<Port> port;
    {
        std::lock_guard lock(mutex_);
        auto found = records_.find(handle);
        if (found == records_.end()) {
            return false;
        }
        port = std::move(found->second.port);
        records_.erase(found);
    }
    if (port) {
        // A thread still inside a call holds its own reference, so the descriptor stays open
        // (and its number unused by others) until that call has returned.
        port->Release(false);
    }
    return true;
}

CommHandle PosixCommDriver::CreateEvent() {
    return Insert(Record{});
}

bool PosixCommDriver::SetCommMask(CommHandle handle, std::uint32_t mask) {
    auto port = FindPort(handle);
    if (!port) {
        return false;
    }
    port->mask.store(mask, std::memory_order_release);
    port->SignalWake();
    return true;
}

bool PosixCommDriver::WaitCommEvent(CommHandle handle, std::uint32_t* events) {
    std::uint32_t ignored = 0;
    std::uint32_t& occurred = events ? *events : ignored;
    occurred = 0;
    auto port = FindPort(handle);
    if (!port) {
        return false;
    }
    // A dead line reports at once every time; resting here keeps the caller's loop cheap
    // while a mask change still ends the rest at once.
    auto restThenFail = [&port] {
        port->RestOnWake(kErrorPauseMs);
        return false;
    };
    if (port->readFailed.exchange(false, std::memory_order_acq_rel)) {
        return restThenFail();
    }
    if (port->closed.load(std::memory_order_acquire)) {
        // Released for the process's end: a watcher looping on it must not spin meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMs));
        return false;
    }
    for (;;) {
        if (port->closed.load(std::memory_order_acquire)) {
            return false;
        }
        const bool watchInput = (port->mask.load(std::memory_order_acquire) & kEvRxChar) != 0;
        pollfd entries[2] = {{port->wake, POLLIN, 0}, {watchInput ? port->fd : -1, POLLIN, 0}};
        int result = ::poll(entries, 2, -1);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return restThenFail();
        }
        const bool woken = (entries[0].revents & POLLIN) != 0;
        if (woken) {
            port->ConsumeWake();
        }
        if (port->closed.load(std::memory_order_acquire)) {
            return false;
        }
        const bool wantInput = (port->mask.load(std::memory_order_acquire) & kEvRxChar) != 0;
        const short revents = entries[1].revents;
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if ((revents & POLLNVAL) == 0 && wantInput && port->QueuedIn() > 0) {
                occurred = kEvRxChar;  // let the caller drain what came before the hang-up
                return true;
            }
            return woken ? true : restThenFail();
        }
        if ((revents & POLLIN) != 0 && wantInput) {
            occurred = kEvRxChar;
            return true;
        }
        if (woken) {
            return true;
        }
    }
}

bool PosixCommDriver::SetupComm(CommHandle handle, std::uint32_t, std::uint32_t) {
    // The terminal driver sizes its own queues.
    return FindPort(handle) != nullptr;
}

bool PosixCommDriver::PurgeComm(CommHandle handle, std::uint32_t flags) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    if (!port) {
        return false;
    }
    const bool input = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    const bool output = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    if (input && output) {
        return ::tcflush(port->fd, TCIOFLUSH) == 0;
    }
    if (input) {
        return ::tcflush(port->fd, TCIFLUSH) == 0;
    }
    if (output) {
        return ::tcflush(port->fd, TCOFLUSH) == 0;
    }
    return true;
}

bool PosixCommDriver::SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) {
    auto port = FindPort(handle);
    if (!port) {
        return false;
    }
    std::lock_guard lock(port->timeoutsMutex);
    port->timeouts = timeouts;
    return true;
}

bool PosixCommDriver::GetCommState(CommHandle handle, DCB* dcb) {
    auto port = FindPort(handle);
    termios settings{};
    if (!port || !dcb || ::tcgetattr(port->fd, &settings) != 0) {
        return false;
    }
    DCB result;
    result.BaudRate = RateOf(::cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            result.ByteSize = 5;
            break;
        case CS6:
            result.ByteSize = 6;
            break;
        case CS7:
            result.ByteSize = 7;
            break;
        default:
            result.ByteSize = 8;
            break;
    }
    if ((settings.c_cflag & PARENB) == 0) {
        result.Parity = kNoParity;
    } else {
        result.Parity = (settings.c_cflag & PARODD) != 0 ? kOddParity : kEvenParity;
    }
    result.StopBits = (settings.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
    result.fBinary = 1;
    result.fParity = (settings.c_iflag & INPCK) != 0 ? 1 : 0;
    const bool ctsFlow = (settings.c_cflag & CRTSCTS) != 0;
    result.fOutxCtsFlow = ctsFlow ? 1 : 0;
    int lines = 0;
    const bool haveLines = ::ioctl(port->fd, TIOCMGET, &lines) == 0;
    result.fDtrControl =
        !haveLines || (lines & TIOCM_DTR) != 0 ? kDtrControlEnable : kDtrControlDisable;
    if (ctsFlow) {
        result.fRtsControl = kRtsControlHandshake;
    } else {
        result.fRtsControl =
            !haveLines || (lines & TIOCM_RTS) != 0 ? kRtsControlEnable : kRtsControlDisable;
    }
    result.fOutX = (settings.c_iflag & IXON) != 0 ? 1 : 0;
    result.fInX = (settings.c_iflag & IXOFF) != 0 ? 1 : 0;
    result.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    result.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    *dcb = result;
    return true;
}

bool PosixCommDriver::SetCommState(CommHandle handle, const DCB& dcb) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    termios settings{};
    if (!port || ::tcgetattr(port->fd, &settings) != 0) {
        return false;
    }
    const std::optional<speed_t> speed = SpeedOf(dcb.BaudRate);
    const std::optional<tcflag_t> size = CharacterSizeOf(dcb.ByteSize);
    if (!speed || !size) {
        return false;
    }
    tcflag_t parity = 0;
    switch (dcb.Parity) {
        case kNoParity:
            break;
        case kOddParity:
            parity = PARENB | PARODD;
            break;
        case kEvenParity:
            parity = PARENB;
            break;
        default:
            return false;  // mark and space parity have no portable termios form
    }
    tcflag_t stopBits = 0;
    if (dcb.StopBits == kTwoStopBits || (dcb.StopBits == 1 && *size == CS5)) {
        stopBits = CSTOPB;  // with five data bits CSTOPB gives one and a half
    } else if (dcb.StopBits != kOneStopBit) {
        return false;
    }

    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    if (dcb.fParity && parity != 0) {
        settings.c_iflag |= INPCK;
    }
    if (dcb.fOutX) {
        settings.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        settings.c_iflag |= IXOFF;
    }
    if (dcb.fOutX || dcb.fInX) {
        settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= *size | parity | stopBits | CLOCAL | CREAD;
    if (dcb.fOutxCtsFlow) {
        settings.c_cflag |= CRTSCTS;
    }
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::cfsetispeed(&settings, *speed) != 0 || ::cfsetospeed(&settings, *speed) != 0 ||
        ::tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return false;
    }
    // tcsetattr succeeds when any part was applied; what the device took shows on read-back.
    termios applied{};
    if (::tcgetattr(port->fd, &applied) != 0 || ::cfgetospeed(&applied) != *speed ||
        (applied.c_cflag & CSIZE) != *size) {
        return false;
    }
    const bool dtr = dcb.fDtrControl != kDtrControlDisable;
    const bool rts = dcb.fRtsControl != kRtsControlDisable;
    return SetModemLine(port->fd, dtr ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) &&
           SetModemLine(port->fd, rts ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
}

bool PosixCommDriver::EscapeCommFunction(CommHandle handle, std::uint32_t function) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    if (!port) {
        return false;
    }
    switch (function) {
        case kSetDtr:
            return SetModemLine(port->fd, TIOCMBIS, TIOCM_DTR);
        case kClrDtr:
            return SetModemLine(port->fd, TIOCMBIC, TIOCM_DTR);
        case kSetRts:
            return SetModemLine(port->fd, TIOCMBIS, TIOCM_RTS);
        case kClrRts:
            return SetModemLine(port->fd, TIOCMBIC, TIOCM_RTS);
        default:
            return false;
    }
}

bool PosixCommDriver::ClearCommError(CommHandle handle, std::uint32_t* queuedIn) {
    auto port = FindPort(handle);
    int queued = 0;
    if (!port || ::ioctl(port->fd, FIONREAD, &queued) != 0) {
        return false;
    }
    if (queuedIn) {
        *queuedIn = queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
    }
    return true;
}

namespace {

enum class Step { Moved, Nothing, Error };

// One non-blocking transfer of the block's remaining bytes, refused once the port is released.
Step TransferOnce(std::shared_mutex& lineMutex, const std::atomic<bool>& released, int fd,
                  OverlappedBlock& block) {
    std::shared_lock line(lineMutex);
    if (released.load(std::memory_order_acquire)) {
        return Step::Error;
    }
    const std::uint32_t left = block.requested - block.transferred;
    if (left == 0) {
        return Step::Moved;
    }
    auto* at = static_cast<unsigned char*>(block.buffer) + block.transferred;
    ssize_t result;
    do {
        result = block.isWrite ? ::write(fd, at, left) : ::read(fd, at, left);
    } while (result < 0 && errno == EINTR);
    if (result > 0) {
        block.transferred += static_cast<std::uint32_t>(result);
        return Step::Moved;
    }
    // With VMIN and VTIME at 0 an empty terminal reads as 0 bytes rather than EAGAIN.
    if (result == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        return Step::Nothing;
    }
    return Step::Error;
}

bool ReadReturnsAtOnce(const CommTimeouts& timeouts) {
    return timeouts.ReadIntervalTimeout == kMaxDword && timeouts.ReadTotalTimeoutMultiplier == 0 &&
           timeouts.ReadTotalTimeoutConstant == 0;
}

std::uint64_t TotalTimeout(std::uint32_t multiplier, std::uint32_t constant, std::uint32_t count) {
    if (multiplier == kMaxDword) {
        return constant;  // "any byte or the constant", in the old model's reading
    }
    return static_cast<std::uint64_t>(multiplier) * count + constant;
}

}  // namespace

std::shared_ptr<PosixCommDriver::Port> PosixCommDriver::BeginTransfer(
    CommHandle handle, void* buffer, std::uint32_t count, OverlappedBlock* block, bool isWrite) {
    auto port = FindPort(handle);
    if (!port || !block || (!buffer && count > 0)) {
        return nullptr;
    }
    *block = OverlappedBlock{block->hEvent, block->Offset, block->OffsetHigh, buffer, count, 0,
                             false,         isWrite};
    return port;
}

IoStatus PosixCommDriver::ReadFile(CommHandle handle, void* dest, std::uint32_t count,
                                   std::uint32_t* done, OverlappedBlock* block) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    auto port = BeginTransfer(handle, dest, count, block, false);
    moved = 0;
    if (!port) {
        return IoStatus::Failed;
    }
    switch (TransferOnce(lineMutex_, port->closed, port->fd, *block)) {
        case Step::Moved:
            // Reads end with whatever has arrived, as the caller asks only for queued bytes.
            moved = block->transferred;
            return IoStatus::Finished;
        case Step::Error:
            port->readFailed.store(true, std::memory_order_release);
            return IoStatus::Failed;
        case Step::Nothing:
            break;
    }
    if (ReadReturnsAtOnce(port->Timeouts())) {
        return IoStatus::Finished;
    }
    block->pending = true;
    return IoStatus::Pending;
}

IoStatus PosixCommDriver::WriteFile(CommHandle handle, const void* src, std::uint32_t count,
                                    std::uint32_t* done, OverlappedBlock* block) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    // The driver only reads through this pointer; the block type is shared with reads.
    auto port = BeginTransfer(handle, const_cast<void*>(src), count, block, true);
    moved = 0;
    if (!port) {
        return IoStatus::Failed;
    }
    if (TransferOnce(lineMutex_, port->closed, port->fd, *block) == Step::Error) {
        return IoStatus::Failed;
    }
    if (block->transferred == count) {
        moved = count;
        return IoStatus::Finished;
    }
    block->pending = true;
    return IoStatus::Pending;
}

IoStatus PosixCommDriver::GetOverlappedResult(CommHandle handle, OverlappedBlock* block,
                                              std::uint32_t* done, bool wait) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    auto port = FindPort(handle);
    if (!port || !block) {
        moved = 0;
        return IoStatus::Failed;
    }
    if (!block->pending) {
        moved = block->transferred;
        return IoStatus::Finished;
    }
    const CommTimeouts timeouts = port->Timeouts();
    const std::uint64_t limit =
        block->isWrite ? TotalTimeout(timeouts.WriteTotalTimeoutMultiplier,
                                      timeouts.WriteTotalTimeoutConstant, block->requested)
                       : TotalTimeout(timeouts.ReadTotalTimeoutMultiplier,
                                      timeouts.ReadTotalTimeoutConstant, block->requested);
    const auto deadline = DeadlineAfter(limit);
    auto finish = [&](IoStatus status) {
        block->pending = false;
        moved = block->transferred;
        return status;
    };
    for (;;) {
        const std::uint32_t before = block->transferred;
        const Step step = TransferOnce(lineMutex_, port->closed, port->fd, *block);
        if (step == Step::Error) {
            if (!block->isWrite) {
                port->readFailed.store(true, std::memory_order_release);
            }
            return finish(IoStatus::Failed);
        }
        const bool complete =
            block->isWrite ? block->transferred == block->requested : block->transferred > before;
        if (complete) {
            return finish(IoStatus::Finished);
        }
        if (!wait) {
            moved = block->transferred;
            return IoStatus::Incomplete;
        }
        const int timeout = PollTimeout(deadline);
        if (timeout == 0) {
            return finish(IoStatus::Finished);  // time-out: a short count, as the old model
        }
        if (port->closed.load(std::memory_order_acquire)) {
            return finish(IoStatus::Failed);
        }
        pollfd entry{port->fd, static_cast<short>(block->isWrite ? POLLOUT : POLLIN), 0};
        int result = ::poll(&entry, 1, timeout);
        if (result < 0 && errno != EINTR) {
            return finish(IoStatus::Failed);
        }
        if (result > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
            (entry.revents & (POLLIN | POLLOUT)) == 0) {
            if (!block->isWrite) {
                port->readFailed.store(true, std::memory_order_release);
            }
            return finish(IoStatus::Failed);
        }
    }
}

}  // namespace countryset
