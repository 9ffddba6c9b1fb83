#include "serial/win32_comm_driver.h"

#include "serial/win32_comm_port.h"

#include "seams/port_name.h"

#include <algorithm>
#include <charconv>
#include <new>

namespace countryset {

Win32CommDriver::~Win32CommDriver() {
    ReleaseAllPorts();
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::wstring Win32CommDriver::DevicePath(std::string_view portName) {
    const int number = ComPortNumber(portName);
    return number == 0 ? std::wstring() : L"\\\\.\\COM" + std::to_wstring(number);
}

std::wstring Win32CommDriver::DeviceOf(std::string_view portName) const {
    if (!resolver_) {
        return DevicePath(portName);
    }
    std::string device;
    try {
        device = resolver_(portName);
    } catch (...) {
        return {};
    }
    // Device names are ASCII; anything else names no port.
    std::wstring wide;
    for (const char c : device) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
            return {};
        }
        wide.push_back(static_cast<wchar_t>(c));
    }
    return wide;
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
    const auto found = lastOpenErrors_.find(std::this_thread::get_id());
    return found != lastOpenErrors_.end() ? found->second : PortOpenError{};
}

void Win32CommDriver::NoteOpenError(std::string_view portName, PortProblem problem,
                                    std::uint32_t systemError) {
    PortOpenError error;
    error.problem = problem;
    error.device = std::string(portName);
    if (systemError != 0) {
        error.detail = "system error " + std::to_string(systemError);
    }
    try {
        std::lock_guard lock(openErrorMutex_);
        lastOpenErrors_[std::this_thread::get_id()] = std::move(error);
    } catch (const std::bad_alloc&) {
        // The open's outcome stands; only its reason is not kept.
    }
}

CommHandle Win32CommDriver::CreateFile(std::string_view portName) {
    NoteOpenError(portName, PortProblem::None, 0);
    const std::wstring path = DeviceOf(portName);
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
    port->timeoutsFound = ::GetCommTimeouts(device, &port->originalTimeouts) != FALSE;
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
    if (!port || !comm_codes::EventsToSystem(mask, &system)) {
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
                got = comm_codes::EventsFromSystem(port->waitEvents);
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
            got = comm_codes::EventsFromSystem(port->waitEvents);
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
    return port && comm_codes::PurgeToSystem(flags, &system) && ::PurgeComm(port->handle, system);
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
    *dcb = comm_codes::FromSystemDcb(system);
    return true;
}

bool Win32CommDriver::SetCommState(CommHandle handle, const DCB& dcb) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    if (!port) {
        return false;
    }
    ::DCB system = comm_codes::ToSystemDcb(dcb);
    return ::SetCommState(port->handle, &system);
}

bool Win32CommDriver::EscapeCommFunction(CommHandle handle, std::uint32_t function) {
    std::shared_lock<std::shared_mutex> line;
    auto port = FindLivePort(handle, line);
    DWORD system = 0;
    return port && comm_codes::EscapeToSystem(function, &system) &&
           ::EscapeCommFunction(port->handle, system);
}

bool Win32CommDriver::ClearCommError(CommHandle handle, std::uint32_t* queuedIn) {
    auto port = FindPort(handle);
    DWORD queued = 0;
    if (!port || !comm_codes::QueuedIn(port->handle, &queued)) {
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
        if (!comm_codes::QueuedIn(port->handle, &queued)) {
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
