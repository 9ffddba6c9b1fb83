#include "serial/win32_terminal_line.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "serial/comm_port.h"
#include "serial/win32_comm_codes.h"

namespace countryset {

namespace {

// The bytes waiting in the input queue; false when the system would not say.
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

// Milliseconds left until the deadline, for the system's waits.
DWORD WaitMs(LineDeadline deadline) {
    if (deadline == kNoDeadline) {
        return INFINITE;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - LineClock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return static_cast<DWORD>(std::min<long long>(left + 1, 0x7FFFFFFF));
}

class Win32TerminalLine final : public Line {
public:
    Win32TerminalLine(HANDLE device, const ::DCB& found) : handle_(device), original_(found) {}
    ~Win32TerminalLine() override {
        ::CloseHandle(handle_);
        for (HANDLE event : {wake_, closedEvent_, waitOverlapped_.hEvent, readOverlapped_.hEvent,
                             writeOverlapped_.hEvent}) {
            CloseIfSet(event);
        }
    }
    Win32TerminalLine(const Win32TerminalLine&) = delete;
    Win32TerminalLine& operator=(const Win32TerminalLine&) = delete;

    // The port's own events, its time-outs and input mask; false when the system has none.
    bool Prepare() {
        wake_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        closedEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        waitOverlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        readOverlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writeOverlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!wake_ || !closedEvent_ || !waitOverlapped_.hEvent || !readOverlapped_.hEvent ||
            !writeOverlapped_.hEvent) {
            return false;
        }
        timeoutsFound_ = ::GetCommTimeouts(handle_, &originalTimeouts_) != FALSE;
        // Reads take what is queued and return; a write's deadline is kept here, not by the
        // system. The system keeps both for the port's next user, so they go back at close.
        COMMTIMEOUTS ours{};
        ours.ReadIntervalTimeout = MAXDWORD;
        ::SetCommTimeouts(handle_, &ours);
        ::SetupComm(handle_, kQueueSize, kQueueSize);
        ::SetCommMask(handle_, EV_RXCHAR);
        return true;
    }

    bool Configure(const DCB& dcb) override {
        std::shared_lock change(changeMutex_);
        ::DCB system = comm_codes::ToSystemDcb(dcb);
        return !Closed() && ::SetCommState(handle_, &system);
    }

    bool Settings(DCB* dcb) override {
        ::DCB system{};
        system.DCBlength = sizeof system;
        if (!::GetCommState(handle_, &system)) {
            return false;
        }
        *dcb = comm_codes::FromSystemDcb(system);
        return true;
    }

    bool SetModemLine(ModemLine wire, bool raised) override {
        std::shared_lock change(changeMutex_);
        const DWORD function =
            wire == ModemLine::Dtr ? (raised ? SETDTR : CLRDTR) : (raised ? SETRTS : CLRRTS);
        return !Closed() && ::EscapeCommFunction(handle_, function);
    }

    bool Purge(bool input, bool output) override {
        std::shared_lock change(changeMutex_);
        const DWORD flags = (input ? PURGE_RXABORT | PURGE_RXCLEAR : 0) |
                            (output ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
        return !Closed() && (flags == 0 || ::PurgeComm(handle_, flags));
    }

    bool Queued(std::uint32_t* count) override {
        DWORD queued = 0;
        if (Closed() || !QueuedIn(handle_, &queued)) {
            return false;
        }
        *count = queued;
        return true;
    }

    LineIo Read(void* dest, std::uint32_t count) override {
        std::lock_guard reading(readMutex_);
        std::shared_lock change(changeMutex_);
        if (Closed()) {
            return {0, LineStatus::Closed};
        }
        // A read that asks for no more than is queued finishes at once everywhere; one started
        // with nothing queued can stay pending for good on some systems.
        DWORD queued = 0;
        if (!QueuedIn(handle_, &queued)) {
            return {0, LineStatus::Failed};
        }
        const DWORD wanted = std::min<DWORD>(count, queued);
        if (wanted == 0) {
            return {};
        }
        OVERLAPPED& overlapped = readOverlapped_;
        Reset(overlapped);
        DWORD moved = 0;
        if (!::ReadFile(handle_, dest, wanted, nullptr, &overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            return {0, LineStatus::Failed};
        }
        const BOOL finished = ::GetOverlappedResult(handle_, &overlapped, &moved, TRUE);
        return {static_cast<std::uint32_t>(moved), finished ? LineStatus::Ok : LineStatus::Failed};
    }

    LineIo Write(const void* src, std::uint32_t count, LineDeadline deadline) override {
        std::lock_guard writing(writeMutex_);
        OVERLAPPED& overlapped = writeOverlapped_;
        {
            std::shared_lock change(changeMutex_);
            if (Closed()) {
                return {0, LineStatus::Closed};
            }
            Reset(overlapped);
            if (!::WriteFile(handle_, src, count, nullptr, &overlapped) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                return {0, LineStatus::Failed};
            }
        }
        // Close cancels every transfer of the port, so no byte follows it.
        const HANDLE wakes[] = {overlapped.hEvent, closedEvent_};
        const DWORD woke = ::WaitForMultipleObjects(2, wakes, FALSE, WaitMs(deadline));
        if (woke != WAIT_OBJECT_0) {
            ::CancelIoEx(handle_, &overlapped);
        }
        DWORD moved = 0;
        const BOOL finished = ::GetOverlappedResult(handle_, &overlapped, &moved, TRUE);
        if (Closed()) {
            return {static_cast<std::uint32_t>(moved), LineStatus::Closed};
        }
        if (!finished && ::GetLastError() != ERROR_OPERATION_ABORTED) {
            return {static_cast<std::uint32_t>(moved), LineStatus::Failed};
        }
        return {static_cast<std::uint32_t>(moved), LineStatus::Ok};
    }

    LineWait Wait(bool forInput, LineDeadline deadline) override {
        std::lock_guard waiter(waitMutex_);
        // Rests until `ms` have passed, a wake-up or the close; TimedOut when the rest ran out.
        auto rest = [this](DWORD ms) {
            const HANDLE wakes[] = {wake_, closedEvent_};
            switch (::WaitForMultipleObjects(2, wakes, FALSE, ms)) {
                case WAIT_OBJECT_0:
                    return LineWait::Woken;
                case WAIT_OBJECT_0 + 1:
                    return LineWait::Closed;
                default:
                    return LineWait::TimedOut;
            }
        };
        if (!forInput) {
            return rest(WaitMs(deadline));
        }
        unsigned emptyWakes = 0;
        for (;;) {
            const ULONGLONG began = ::GetTickCount64();
            if (const LineWait now = rest(0); now != LineWait::TimedOut) {
                return now;  // a wake-up before the wait began still ends it
            }
            if (WaitMs(deadline) == 0) {
                return LineWait::TimedOut;
            }
            OVERLAPPED& overlapped = waitOverlapped_;
            bool pending = false;
            bool refused = false;
            {
                std::shared_lock change(changeMutex_);
                if (Closed()) {
                    return LineWait::Closed;
                }
                // Bytes that came before the wait began count too: the system may report only
                // what arrives while it waits.
                if (HasInput()) {
                    return LineWait::Input;
                }
                Reset(overlapped);
                waitEvents_ = 0;
                if (::WaitCommEvent(handle_, &waitEvents_, &overlapped)) {
                    // Finished at once: what it reports is looked at below.
                } else if (::GetLastError() == ERROR_IO_PENDING) {
                    pending = true;
                } else {
                    refused = true;
                }
            }
            if (pending) {
                const HANDLE wakes[] = {overlapped.hEvent, wake_, closedEvent_};
                const DWORD woke = ::WaitForMultipleObjects(3, wakes, FALSE, WaitMs(deadline));
                DWORD ignoredCount = 0;
                if (woke != WAIT_OBJECT_0) {
                    // The system's wait must be over before its block and event word are reused.
                    ::CancelIoEx(handle_, &overlapped);
                    ::GetOverlappedResult(handle_, &overlapped, &ignoredCount, TRUE);
                    return woke == WAIT_OBJECT_0 + 1   ? LineWait::Woken
                           : woke == WAIT_OBJECT_0 + 2 ? LineWait::Closed
                                                       : LineWait::TimedOut;
                }
                // Any completion is a wake with the events it reports, a failed one included:
                // some systems end every wait at once with an error and an empty mask.
                ::GetOverlappedResult(handle_, &overlapped, &ignoredCount, FALSE);
            }
            if (refused) {
                const LineWait after = rest(kRefusedWaitPauseMs);
                return after == LineWait::TimedOut ? LineWait::Failed : after;
            }
            {
                std::shared_lock change(changeMutex_);
                if (Closed()) {
                    return LineWait::Closed;
                }
                // What the system reported is a hint; only queued bytes are input.
                if (HasInput()) {
                    return LineWait::Input;
                }
            }
            // A wake with nothing to show: asking the system again at once would spin.
            const ULONGLONG restMs = std::min<ULONGLONG>(
                ULONGLONG{kIdleRewaitMs} << std::min(emptyWakes, 9u), kIdleRestMaxMs);
            ++emptyWakes;
            for (ULONGLONG now = ::GetTickCount64(); now - began < restMs;
                 now = ::GetTickCount64()) {
                const DWORD slice = std::min<DWORD>(
                    WaitMs(deadline),
                    static_cast<DWORD>(std::min<ULONGLONG>(kIdlePollMs, restMs - (now - began))));
                if (const LineWait after = rest(slice); after != LineWait::TimedOut) {
                    return after;
                }
                std::shared_lock change(changeMutex_);
                if (Closed()) {
                    return LineWait::Closed;
                }
                if (HasInput()) {
                    return LineWait::Input;
                }
                if (WaitMs(deadline) == 0) {
                    return LineWait::TimedOut;
                }
            }
        }
    }

    void Wake() override { ::SetEvent(wake_); }

    // The line goes back as it was found, line settings and time-outs, since the system keeps
    // them for the port's next user, and DTR drops last; a full close also empties the queues.
    void Close(bool full) override {
        if (closed_.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        ::SetEvent(closedEvent_);
        std::unique_lock change(changeMutex_);
        ::DCB restore = original_;
        ::SetCommState(handle_, &restore);
        if (timeoutsFound_) {
            COMMTIMEOUTS timeouts = originalTimeouts_;
            ::SetCommTimeouts(handle_, &timeouts);
        }
        ::EscapeCommFunction(handle_, CLRDTR);
        if (full) {
            ::PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        }
        ::CancelIoEx(handle_, nullptr);
    }

private:
    bool Closed() const { return closed_.load(std::memory_order_acquire); }
    bool HasInput() const {
        DWORD queued = 0;
        return QueuedIn(handle_, &queued) && queued > 0;
    }
    static void Reset(OVERLAPPED& overlapped) {
        const HANDLE event = overlapped.hEvent;
        ::ResetEvent(event);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
    }

    const HANDLE handle_;
    const ::DCB original_;
    COMMTIMEOUTS originalTimeouts_{};
    bool timeoutsFound_ = false;
    HANDLE wake_ = nullptr;         // auto-reset: set by each Wake, taken by one wait
    HANDLE closedEvent_ = nullptr;  // manual-reset: set once the line is closed
    std::atomic<bool> closed_{false};
    // Every call that touches the device holds it shared; Close holds it alone.
    std::shared_mutex changeMutex_;
    // One system wait, one read and one write at a time, each with its own block.
    std::mutex waitMutex_;
    OVERLAPPED waitOverlapped_{};
    DWORD waitEvents_ = 0;
    std::mutex readMutex_;
    OVERLAPPED readOverlapped_{};
    std::mutex writeMutex_;
    OVERLAPPED writeOverlapped_{};
};

}  // namespace

std::unique_ptr<Line> OpenWin32TerminalLine(std::string_view portName, const std::wstring& path,
                                            PortOpenError& error) {
    error.device = std::string(portName);
    const HANDLE device =
        ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        error.problem = PortProblemOfWindowsError(code);
        error.detail = "system error " + std::to_string(code);
        return nullptr;
    }
    // Some systems open a port whose device is gone and fail only at its first line-settings
    // call: to the port logic that port does not exist.
    ::DCB found{};
    found.DCBlength = sizeof found;
    if (!::GetCommState(device, &found)) {
        ::CloseHandle(device);
        error.problem = PortProblem::NoSuchDevice;
        return nullptr;
    }
    auto line =
        std::unique_ptr<Win32TerminalLine>(new (std::nothrow) Win32TerminalLine(device, found));
    if (!line) {
        ::CloseHandle(device);
        return nullptr;
    }
    if (!line->Prepare()) {
        line->Close(false);
        return nullptr;  // the line's destructor closes what was made
    }
    return line;
}

}  // namespace countryset
