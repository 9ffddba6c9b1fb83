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

#include "seams/port_name.h"
#include "serial/posix_comm_port.h"
#include "serial/posix_termios.h"
#include "serial/posix_tty_device.h"

namespace countryset {

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

PortOpenError PosixCommDriver::LastOpenError() const {
    std::lock_guard lock(openErrorMutex_);
    const auto found = lastOpenErrors_.find(std::this_thread::get_id());
    return found != lastOpenErrors_.end() ? found->second : PortOpenError{};
}

CommHandle PosixCommDriver::CreateFile(std::string_view portName) {
    PortOpenError error;
    error.device = std::string(portName);
    const CommHandle handle = OpenDevice(portName, error);
    if (handle != kInvalidHandleValue) {
        error = PortOpenError{};
    } else if (error.problem == PortProblem::None) {
        error.problem = PortProblem::Other;
    }
    try {
        std::lock_guard lock(openErrorMutex_);
        lastOpenErrors_[std::this_thread::get_id()] = std::move(error);
    } catch (const std::bad_alloc&) {
        // The open itself stands; only its reason is not kept.
    }
    return handle;
}

CommHandle PosixCommDriver::OpenDevice(std::string_view portName, PortOpenError& error) {
    std::string path;
    try {
        path = resolver_(portName);
    } catch (...) {
        return kInvalidHandleValue;
    }
    if (path.empty()) {
        error.problem =
            ComPortNumber(portName) != 0 ? PortProblem::NotMapped : PortProblem::NoSuchDevice;
        return kInvalidHandleValue;
    }
    // Held until the port is on record, so that ReleaseAllPorts finds it.
    std::shared_lock line(lineMutex_);
    if (released_) {
        return kInvalidHandleValue;
    }
    termios original{};
    int fd = OpenPortDevice(path, &original, error);
    if (fd < 0) {
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
    int lines = 0;
    const bool haveLines = ::ioctl(port->fd, TIOCMGET, &lines) == 0;
    *dcb = DcbOfTermios(settings, haveLines ? std::optional<int>(lines) : std::nullopt);
    return true;
}

bool PosixCommDriver::SetCommState(CommHandle handle, const DCB& dcb) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    termios settings{};
    if (!port || ::tcgetattr(port->fd, &settings) != 0 || !ApplyDcb(dcb, settings) ||
        ::tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return false;
    }
    // tcsetattr succeeds when any part was applied; what the device took shows on read-back.
    termios applied{};
    if (::tcgetattr(port->fd, &applied) != 0 ||
        ::cfgetospeed(&applied) != ::cfgetospeed(&settings) ||
        (applied.c_cflag & CSIZE) != (settings.c_cflag & CSIZE)) {
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

}  // namespace countryset
