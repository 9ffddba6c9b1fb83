// The Windows driver's records behind its handles: an open port (its system handle, the line as
// it was found, the wake-ups of its waiter) and an event with its system transfer block. For
// the Windows driver's files only.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "serial/win32_comm_codes.h"
#include "serial/win32_comm_driver.h"

namespace countryset {

namespace comm_codes {

// The bytes waiting in the input queue; false when the system would not say.
inline bool QueuedIn(HANDLE port, DWORD* queued) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status)) {
        return false;
    }
    *queued = status.cbInQue;
    return true;
}

inline void CloseIfSet(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
}

}  // namespace comm_codes

struct Win32CommDriver::Port {
    Port(HANDLE device, const ::DCB& found) : handle(device), original(found) {}
    ~Port() {
        ::CloseHandle(handle);
        comm_codes::CloseIfSet(maskChanged);
        comm_codes::CloseIfSet(released);
        comm_codes::CloseIfSet(waitOverlapped.hEvent);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool MakeEvents() {
        maskChanged = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        released = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        waitOverlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return maskChanged != nullptr && released != nullptr && waitOverlapped.hEvent != nullptr;
    }

    // Refuses further device calls and wakes every waiter, once. The line goes back as it was
    // found, line settings and timeouts, since the system keeps them for the port's next user,
    // and DTR drops last; a full release (a process about to end) also empties the queues.
    // The caller holds the driver's line lock.
    void Release(bool full) {
        if (closed.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        ::SetEvent(released);
        ::DCB restore = original;
        ::SetCommState(handle, &restore);
        if (timeoutsFound) {
            COMMTIMEOUTS timeouts = originalTimeouts;
            ::SetCommTimeouts(handle, &timeouts);
        }
        ::EscapeCommFunction(handle, CLRDTR);
        if (full) {
            ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        }
        ::CancelIoEx(handle, nullptr);
    }

    // kEvRxChar when the mask asks for it and bytes wait in the input queue.
    std::uint32_t QueuedEvents() const {
        DWORD queued = 0;
        if ((mask.load(std::memory_order_acquire) & kEvRxChar) != 0 &&
            comm_codes::QueuedIn(handle, &queued) && queued > 0) {
            return kEvRxChar;
        }
        return 0;
    }

    const HANDLE handle;
    const ::DCB original;
    COMMTIMEOUTS originalTimeouts{};
    bool timeoutsFound = false;
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

}  // namespace countryset
