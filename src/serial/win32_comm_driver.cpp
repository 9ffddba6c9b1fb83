#include "serial/win32_comm_driver.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The seam's operations bear the system's names; its macros would rename them here.
#undef CreateFile
#undef CreateEvent
#undef OutputDebugString

#include <algorithm>
#include <atomic>
#include <charconv>
#include <new>

namespace countryset {

namespace {

// One seam value and the system's value for it.
struct Code {
    std::uint32_t seam;
    std::uint32_t system;
};

constexpr Code kEventBits[] = {{kEvRxChar, EV_RXCHAR}};
constexpr Code kPurgeBits[] = {{kPurgeTxAbort, PURGE_TXABORT},
                               {kPurgeRxAbort, PURGE_RXABORT},
                               {kPurgeTxClear, PURGE_TXCLEAR},
                               {kPurgeRxClear, PURGE_RXCLEAR}};
constexpr Code kEscapes[] = {
    {kSetRts, SETRTS}, {kClrRts, CLRRTS}, {kSetDtr, SETDTR}, {kClrDtr, CLRDTR}};
constexpr Code kParities[] = {
    {kNoParity, NOPARITY}, {kOddParity, ODDPARITY}, {kEvenParity, EVENPARITY}};
constexpr Code kStopBits[] = {{kOneStopBit, ONESTOPBIT}, {kTwoStopBits, TWOSTOPBITS}};
constexpr Code kDtrControls[] = {{kDtrControlDisable, DTR_CONTROL_DISABLE},
                                 {kDtrControlEnable, DTR_CONTROL_ENABLE},
                                 {kDtrControlHandshake, DTR_CONTROL_HANDSHAKE}};
constexpr Code kRtsControls[] = {{kRtsControlDisable, RTS_CONTROL_DISABLE},
                                 {kRtsControlEnable, RTS_CONTROL_ENABLE},
                                 {kRtsControlHandshake, RTS_CONTROL_HANDSHAKE}};

template <std::size_t N>
bool ToSystemBits(const Code (&codes)[N], std::uint32_t seam, DWORD* system) {
    DWORD result = 0;
    for (const Code& code : codes) {
        if ((seam & code.seam) != 0) {
            result |= code.system;
            seam &= ~code.seam;
        }
    }
    *system = result;
    return seam == 0;  // a bit the seam does not name is refused, not passed on blind
}

template <std::size_t N>
std::uint32_t FromSystemBits(const Code (&codes)[N], DWORD system) {
    std::uint32_t result = 0;
    for (const Code& code : codes) {
        if ((system & code.system) != 0) {
            result |= code.seam;
        }
    }
    return result;
}

// Codes the seam has no name for (mark parity, one and a half stop bits, RTS toggle) pass
// through as numbers: the driver reports them and the port logic keeps them.
template <std::size_t N>
std::uint32_t ToSystemCode(const Code (&codes)[N], std::uint32_t seam) {
    for (const Code& code : codes) {
        if (code.seam == seam) {
            return code.system;
        }
    }
    return seam;
}

template <std::size_t N>
std::uint32_t FromSystemCode(const Code (&codes)[N], std::uint32_t system) {
    for (const Code& code : codes) {
        if (code.system == system) {
            return code.seam;
        }
    }
    return system;
}

DCB FromSystemDcb(const ::DCB& system) {
    DCB dcb;
    dcb.BaudRate = system.BaudRate;
    dcb.fBinary = system.fBinary;
    dcb.fParity = system.fParity;
    dcb.fOutxCtsFlow = system.fOutxCtsFlow;
    dcb.fOutxDsrFlow = system.fOutxDsrFlow;
    dcb.fDtrControl = FromSystemCode(kDtrControls, system.fDtrControl) & 3u;
    dcb.fDsrSensitivity = system.fDsrSensitivity;
    dcb.fTXContinueOnXoff = system.fTXContinueOnXoff;
    dcb.fOutX = system.fOutX;
    dcb.fInX = system.fInX;
    dcb.fErrorChar = system.fErrorChar;
    dcb.fNull = system.fNull;
    dcb.fRtsControl = FromSystemCode(kRtsControls, system.fRtsControl) & 3u;
    dcb.fAbortOnError = system.fAbortOnError;
    dcb.XonLim = system.XonLim;
    dcb.XoffLim = system.XoffLim;
    dcb.ByteSize = system.ByteSize;
    dcb.Parity = static_cast<std::uint8_t>(FromSystemCode(kParities, system.Parity));
    dcb.StopBits = static_cast<std::uint8_t>(FromSystemCode(kStopBits, system.StopBits));
    dcb.XonChar = system.XonChar;
    dcb.XoffChar = system.XoffChar;
    dcb.ErrorChar = system.ErrorChar;
    dcb.EofChar = system.EofChar;
    dcb.EvtChar = system.EvtChar;
    return dcb;
}

::DCB ToSystemDcb(const DCB& dcb) {
    ::DCB system{};
    system.DCBlength = sizeof system;
    system.BaudRate = dcb.BaudRate;
    system.fBinary = dcb.fBinary;
    system.fParity = dcb.fParity;
    system.fOutxCtsFlow = dcb.fOutxCtsFlow;
    system.fOutxDsrFlow = dcb.fOutxDsrFlow;
    system.fDtrControl = ToSystemCode(kDtrControls, dcb.fDtrControl) & 3u;
    system.fDsrSensitivity = dcb.fDsrSensitivity;
    system.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    system.fOutX = dcb.fOutX;
    system.fInX = dcb.fInX;
    system.fErrorChar = dcb.fErrorChar;
    system.fNull = dcb.fNull;
    system.fRtsControl = ToSystemCode(kRtsControls, dcb.fRtsControl) & 3u;
    system.fAbortOnError = dcb.fAbortOnError;
    system.XonLim = dcb.XonLim;
    system.XoffLim = dcb.XoffLim;
    system.ByteSize = dcb.ByteSize;
    system.Parity = static_cast<BYTE>(ToSystemCode(kParities, dcb.Parity));
    system.StopBits = static_cast<BYTE>(ToSystemCode(kStopBits, dcb.StopBits));
    system.XonChar = dcb.XonChar;
    system.XoffChar = dcb.XoffChar;
    system.ErrorChar = dcb.ErrorChar;
    system.EofChar = dcb.EofChar;
    system.EvtChar = dcb.EvtChar;
    return system;
}

bool QueuedIn(HANDLE port, DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status)) {
        return false;
    }
    *queued = status.cbInQue;
    return true;
}

void CloseIfSet(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
}

}  // namespace

struct Win32CommDriver::Port {
    Port(HANDLE device, const ::DCB& found) : handle(device), original(found) {}
    ~Port() {
        ::CloseHandle(handle);
        CloseIfSet(maskChanged);
        CloseIfSet(released);
        CloseIfSet(waitOverlapped.hEvent);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool MakeEvents() {
        maskChanged = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        released = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        waitOverlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return maskChanged != nullptr && released != nullptr && waitOverlapped.hEvent != nullptr;
    }

    // Refuses further device calls and wakes every waiter, once. A full release also puts the
    // line back as it was found and drops DTR last, as a process that ends must leave it.
    // The caller holds the driver's line lock.
    void Release(bool full) {
        if (closed.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        ::SetEvent(released);
        if (full) {
            ::DCB restore = original;
            ::SetCommState(handle, &restore);
            ::EscapeCommFunction(handle, CLRDTR);
            ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        }
        ::CancelIoEx(handle, nullptr);
    }

    // kEvRxChar when the mask asks for it and bytes wait in the input queue.
    std::uint32_t QueuedEvents() const {
        DWORD queued = 0;
        if ((mask.load(std::memory_order_acquire) & kEvRxChar) != 0 && QueuedIn(handle, &queued) &&
            queued > 0) {
            return kEvRxChar;
        }
        return 0;
    }

    const HANDLE handle;
    const ::DCB original;
    HANDLE maskChanged = nullptr;  // auto-reset: set by each SetCommMask, taken by one wait
    HANDLE released = nullptr;     // manual-reset: set once the port is closed or released
    std::atomic<std::uint32_t> mask{0};
    std::atomic<bool> closed{false};
    // The system's wait; one at a time, so one block and one event word serve every wait.
    std::mutex waitMutex;
    OVERLAPPED waitOverlapped{};
    DWORD waitEvents = 0;
};

// An event handed out for an OverlappedBlock, and the system's block that goes with it.
struct Win32CommDriver::Event {
    explicit Event(HANDLE created) : handle(created) {}
    ~Event() {
        if (pendingOn) {
            // The system may still write into the block: end the transfer before it goes.
            ::CancelIoEx(pendingOn->handle, &overlapped);
            DWORD ignored = 0;
            ::GetOverlappedResult(pendingOn->handle, &overlapped, &ignored, TRUE);
        }
        ::CloseHandle(handle);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    const HANDLE handle;
    OVERLAPPED overlapped{};
    // The port of the transfer in progress, kept open until its result has been taken.
    std::shared_ptr<Port> pendingOn;
};

Win32CommDriver::~Win32CommDriver() {
    ReleaseAllPorts();
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::wstring Win32CommDriver::DevicePath(std::string_view portName) {
    if (portName.size() <= 3) {
        return {};
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = static_cast<char>(portName[i] & ~0x20);  // ASCII upper case
        if (c != "COM"[i]) {
            return {};
        }
    }
    const char* first = portName.data() + 3;
    const char* last = portName.data() + portName.size();
    unsigned number = 0;
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last || *first == '0' || number < 1 || number > 255) {
        return {};
    }
    return L"\\\\.\\COM" + std::to_wstring(number);
}

void Win32CommDriver::ReleaseAllPorts() {
    std::unique_lock line(lineMutex_);
    released_ = true;
    std::lock_guard lock(mutex_);
    for (auto& [handle, record] : records_) {
        if (record.port) {
            record.port->Release(true);
        }
    }
}

CommHandle Win32CommDriver::Insert(Record record) {
    try {
        std::lock_guard lock(mutex_);
        const CommHandle handle = nextHandle_++;
        records_.emplace(handle, std::move(record));
        return handle;
    } catch (const std::bad_alloc&) {
        return kNullHandle;
    }
}

std::shared_ptr<Win32CommDriver::Port> Win32CommDriver::FindPort(CommHandle handle) {
    std::lock_guard lock(mutex_);
    auto found = records_.find(handle);
    return found == records_.end() ? nullptr : found->second.port;
}

std::shared_ptr<Win32CommDriver::Event> Win32CommDriver::FindEvent(CommHandle handle) {
    std::lock_guard lock(mutex_);
    auto found = records_.find(handle);
    return found == records_.end() ? nullptr : found->second.event;
}

std::shared_ptr<Win32CommDriver::Port> Win32CommDriver::FindLivePort(
    CommHandle handle, std::shared_lock<std::shared_mutex>& line) {
    line = std::shared_lock(lineMutex_);
    auto port = FindPort(handle);
    if (!port || port->closed.load(std::memory_order_acquire)) {
        line.unlock();
        return nullptr;
    }
    return port;
}

PortOpenError Win32CommDriver::LastOpenError() const {
    std::lock_guard lock(openErrorMutex_);
    return lastOpenError_;
}

void Win32CommDriver::NoteOpenError(std::string_view portName, PortProblem problem,
                                    std::uint32_t systemError) {
    PortOpenError error;
    error.problem = problem;
    error.device = std::string(portName);
    if (systemError != 0) {
        error.detail = "system error " + std::to_string(systemError);
    }
    std::lock_guard lock(openErrorMutex_);
    lastOpenError_ = std::move(error);
}

CommHandle Win32CommDriver::CreateFile(std::string_view portName) {
    NoteOpenError(portName, PortProblem::None, 0);
    const std::wstring path = DevicePath(portName);
    if (path.empty()) {
        NoteOpenError(portName, PortProblem::NoSuchDevice, 0);
        return kInvalidHandleValue;
    }
    // Held until the port is on record, so that ReleaseAllPorts finds it.
    std::shared_lock line(lineMutex_);
    if (released_) {
        return kInvalidHandleValue;
    }
    const HANDLE device =
        ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        NoteOpenError(portName, PortProblemOfWindowsError(error), error);
        return kInvalidHandleValue;
    }
    // Some systems open a port whose device is gone and fail only at its first line-settings
    // call: to the port logic that port does not exist.
    ::DCB found{};
    found.DCBlength = sizeof found;
    if (!::GetCommState(device, &found)) {
        ::CloseHandle(device);
        NoteOpenError(portName, PortProblem::NoSuchDevice, 0);
        return kInvalidHandleValue;
    }
    std::shared_ptr<Port> port;
    try {
        port = std::make_shared<Port>(device, found);
    } catch (const std::bad_alloc&) {
        ::CloseHandle(device);
        return kInvalidHandleValue;
    }
    if (!port->MakeEvents()) {
        return kInvalidHandleValue;  // the port's destructor closes what was made
    }
    const CommHandle handle = Insert(Record{port, nullptr});
    return handle == kNullHandle ? kInvalidHandleValue : handle;
}

bool Win32CommDriver::CloseHandle(CommHandle handle) {
    std::shared_lock line(lineMutex_);
    Record record;
    {
        std::lock_guard lock(mutex_);
        auto found = records_.find(handle);
        if (found == records_.end()) {
            return false;
        }
        record = std::move(found->second);
        records_.erase(found);
    }
    if (record.port) {
        // A thread still inside a call holds its own reference, so the system handle stays
        // open until that call is done with it; the release wakes and cancels it.
        record.port->Release(false);
    }
    return true;
}

CommHandle Win32CommDriver::CreateEvent() {
    const HANDLE created = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (created == nullptr) {
        return kNullHandle;
    }
    std::shared_ptr<Event> event;
    try {
        event = std::make_shared<Event>(created);
    } catch (const std::bad_alloc&) {
        ::CloseHandle(created);
        return kNullHandle;
    }
    return Insert(Record{nullptr, event});
}

bool Win32CommDriver::SetCommMask(CommHandle handle, std::uint32_t mask) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    DWORD system = 0;
    if (!port || !ToSystemBits(kEventBits, mask, &system)) {
        return false;
    }
    const BOOL set = ::SetCommMask(port->handle, system);
    port->mask.store(mask, std::memory_order_release);
    // Also when the system refused: whoever changes the mask means to wake the waiter.
    ::SetEvent(port->maskChanged);
    return set != FALSE;
}

bool Win32CommDriver::WaitCommEvent(CommHandle handle, std::uint32_t* events) {
    std::uint32_t ignored = 0;
    std::uint32_t& reported = events ? *events : ignored;
    reported = 0;
    auto port = FindPort(handle);
    if (!port) {
        return false;
    }
    std::lock_guard waiter(port->waitMutex);
    OVERLAPPED& overlapped = port->waitOverlapped;
    // Rests until `milliseconds` have passed, a mask change or the port's release; the result
    // is what WaitCommEvent then returns, or nothing when the rest ran out.
    enum class Rest { Elapsed, MaskChanged, Released };
    auto rest = [&](DWORD milliseconds) {
        const HANDLE wakes[] = {port->maskChanged, port->released};
        switch (::WaitForMultipleObjects(2, wakes, FALSE, milliseconds)) {
            case WAIT_OBJECT_0:
                return Rest::MaskChanged;
            case WAIT_OBJECT_0 + 1:
                return Rest::Released;
            default:
                return Rest::Elapsed;
        }
    };
    unsigned emptyWakes = 0;
    for (;;) {
        const ULONGLONG began = ::GetTickCount64();
        switch (rest(0)) {
            case Rest::MaskChanged:
                return true;  // a change before the wait began still ends it
            case Rest::Released:
                return false;
            case Rest::Elapsed:
                break;
        }
        bool pending = false;
        bool refused = false;
        std::uint32_t got = 0;
        {
            std::shared_lock line(lineMutex_);
            if (port->closed.load(std::memory_order_acquire)) {
                return false;
            }
            // Bytes that came before the wait began count too: the system may report only
            // what arrives while it waits.
            got = port->QueuedEvents();
            if (got != 0) {
                reported = got;
                return true;
            }
            ::ResetEvent(overlapped.hEvent);
            const HANDLE event = overlapped.hEvent;
            overlapped = OVERLAPPED{};
            overlapped.hEvent = event;
            port->waitEvents = 0;
            if (::WaitCommEvent(port->handle, &port->waitEvents, &overlapped)) {
                got = FromSystemBits(kEventBits, port->waitEvents);
            } else if (::GetLastError() == ERROR_IO_PENDING) {
                pending = true;
            } else {
                refused = true;
            }
        }
        if (pending) {
            const HANDLE wakes[] = {overlapped.hEvent, port->maskChanged, port->released};
            const DWORD woke = ::WaitForMultipleObjects(3, wakes, FALSE, INFINITE);
            DWORD ignoredCount = 0;
            if (woke != WAIT_OBJECT_0) {
                // The system's wait must be over before its block and event word are reused.
                ::CancelIoEx(port->handle, &overlapped);
                ::GetOverlappedResult(port->handle, &overlapped, &ignoredCount, TRUE);
                return woke == WAIT_OBJECT_0 + 1;
            }
            // Any completion is a wake with the events it reports, a failed one included:
            // some systems end every wait at once with an error and an empty mask.
            ::GetOverlappedResult(port->handle, &overlapped, &ignoredCount, FALSE);
            got = FromSystemBits(kEventBits, port->waitEvents);
        }
        if (refused) {
            switch (rest(kErrorPauseMs)) {
                case Rest::MaskChanged:
                    return true;
                case Rest::Released:
                case Rest::Elapsed:
                    return false;
            }
        }
        {
            std::shared_lock line(lineMutex_);
            if (port->closed.load(std::memory_order_acquire)) {
                return false;
            }
            got |= port->QueuedEvents();
        }
        got &= port->mask.load(std::memory_order_acquire);
        if (got != 0) {
            reported = got;
            return true;
        }
        // A wake with nothing to show: asking the system again at once would spin.
        const ULONGLONG restMs = std::min<ULONGLONG>(
            ULONGLONG{kIdleRewaitMs} << std::min(emptyWakes, 9u), kIdleRestMaxMs);
        ++emptyWakes;
        for (ULONGLONG now = ::GetTickCount64(); now - began < restMs; now = ::GetTickCount64()) {
            switch (rest(
                static_cast<DWORD>(std::min<ULONGLONG>(kIdlePollMs, restMs - (now - began))))) {
                case Rest::MaskChanged:
                    return true;
                case Rest::Released:
                    return false;
                case Rest::Elapsed:
                    break;
            }
            std::shared_lock line(lineMutex_);
            if (port->closed.load(std::memory_order_acquire)) {
                return false;
            }
            got = port->QueuedEvents();
            if (got != 0) {
                reported = got;
                return true;
            }
        }
    }
}

bool Win32CommDriver::SetupComm(CommHandle handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    return port && ::SetupComm(port->handle, inQueue, outQueue);
}

bool Win32CommDriver::PurgeComm(CommHandle handle, std::uint32_t flags) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    DWORD system = 0;
    return port && ToSystemBits(kPurgeBits, flags, &system) && ::PurgeComm(port->handle, system);
}

bool Win32CommDriver::SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    if (!port) {
        return false;
    }
    COMMTIMEOUTS system{};
    system.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    system.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    system.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    system.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    system.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(port->handle, &system);
}

bool Win32CommDriver::GetCommState(CommHandle handle, DCB* dcb) {
    auto port = FindPort(handle);
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (!port || !dcb || !::GetCommState(port->handle, &system)) {
        return false;
    }
    *dcb = FromSystemDcb(system);
    return true;
}

bool Win32CommDriver::SetCommState(CommHandle handle, const DCB& dcb) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    if (!port) {
        return false;
    }
    ::DCB system = ToSystemDcb(dcb);
    return ::SetCommState(port->handle, &system);
}

bool Win32CommDriver::EscapeCommFunction(CommHandle handle, std::uint32_t function) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    for (const Code& code : kEscapes) {
        if (port && code.seam == function) {
            return ::EscapeCommFunction(port->handle, code.system);
        }
    }
    return false;
}

bool Win32CommDriver::ClearCommError(CommHandle handle, std::uint32_t* queuedIn) {
    auto port = FindPort(handle);
    DWORD queued = 0;
    if (!port || !QueuedIn(port->handle, &queued)) {
        return false;
    }
    if (queuedIn) {
        *queuedIn = queued;
    }
    return true;
}

IoStatus Win32CommDriver::StartTransfer(CommHandle handle, void* buffer, std::uint32_t count,
                                        std::uint32_t* done, OverlappedBlock* block, bool isWrite) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    moved = 0;
    if (!block || (!buffer && count > 0)) {
        return IoStatus::Failed;
    }
    auto event = FindEvent(block->hEvent);
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    if (!event || !port || event->pendingOn) {
        return IoStatus::Failed;
    }
    if (!isWrite) {
        // A read started with nothing queued can stay pending for good on some systems; one
        // that asks for no more than is queued finishes at once everywhere.
        DWORD queued = 0;
        if (!QueuedIn(port->handle, &queued)) {
            return IoStatus::Failed;
        }
        count = std::min<std::uint32_t>(count, queued);
    }
    *block = OverlappedBlock{block->hEvent, block->Offset, block->OffsetHigh, buffer, count, 0,
                             false,         isWrite};
    if (count == 0) {
        return IoStatus::Finished;
    }
    OVERLAPPED& overlapped = event->overlapped;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event->handle;
    overlapped.Offset = block->Offset;
    overlapped.OffsetHigh = block->OffsetHigh;
    const BOOL finished = isWrite ? ::WriteFile(port->handle, buffer, count, nullptr, &overlapped)
                                  : ::ReadFile(port->handle, buffer, count, nullptr, &overlapped);
    if (finished) {
        DWORD countMoved = 0;
        ::GetOverlappedResult(port->handle, &overlapped, &countMoved, FALSE);
        block->transferred = countMoved;
        moved = countMoved;
        return IoStatus::Finished;
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
        return IoStatus::Failed;
    }
    block->pending = true;
    event->pendingOn = port;
    return IoStatus::Pending;
}

IoStatus Win32CommDriver::ReadFile(CommHandle handle, void* dest, std::uint32_t count,
                                   std::uint32_t* done, OverlappedBlock* block) {
    return StartTransfer(handle, dest, count, done, block, false);
}

IoStatus Win32CommDriver::WriteFile(CommHandle handle, const void* src, std::uint32_t count,
                                    std::uint32_t* done, OverlappedBlock* block) {
    // The system only reads through this pointer; the block type is shared with reads.
    return StartTransfer(handle, const_cast<void*>(src), count, done, block, true);
}

IoStatus Win32CommDriver::GetOverlappedResult(CommHandle handle, OverlappedBlock* block,
                                              std::uint32_t* done, bool wait) {
    std::uint32_t ignored = 0;
    std::uint32_t& moved = done ? *done : ignored;
    moved = 0;
    auto port = FindPort(handle);
    auto event = block ? FindEvent(block->hEvent) : nullptr;
    if (!port || !event) {
        return IoStatus::Failed;
    }
    if (!block->pending || !event->pendingOn) {
        moved = block->transferred;
        return IoStatus::Finished;
    }
    // No lock across the wait: a release aborts the transfer, which ends it.
    DWORD count = 0;
    const BOOL finished = ::GetOverlappedResult(event->pendingOn->handle, &event->overlapped,
                                                &count, wait ? TRUE : FALSE);
    if (!finished && ::GetLastError() == ERROR_IO_INCOMPLETE) {
        moved = block->transferred;
        return IoStatus::Incomplete;
    }
    block->pending = false;
    block->transferred = count;
    event->pendingOn.reset();
    moved = count;
    return finished ? IoStatus::Finished : IoStatus::Failed;
}

}  // namespace countryset
