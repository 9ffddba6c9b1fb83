// The comm driver: every operating-system service the serial layer uses, and nothing more.
// The port logic (CCommPort, DutWatcher, CollectReply, AttachModem) talks only to this
// interface. PosixCommDriver serves real ports and pseudo-terminals on Linux, Win32CommDriver
// the system's COM ports on Windows; TraceCommDriver wraps either to log every call (--trace);
// FakeCommDriver (tests/fakes) serves the unit tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "serial/port_problem.h"

namespace countryset {

// Opaque handle of an open port or an event. kNullHandle means "none"; a failed open gives
// kInvalidHandleValue, as the port record expects.
using CommHandle = std::intptr_t;
inline constexpr CommHandle kNullHandle = 0;
inline constexpr CommHandle kInvalidHandleValue = -1;

// The seam's constants carry names of their own: the system's names for the same values are
// macros in <windows.h>, which the Windows driver includes.

// Event mask bits.
inline constexpr std::uint32_t kEvRxChar = 0x0001;

// Purge flags; the port logic always passes all four (15).
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// Modem-control functions for EscapeCommFunction.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;

// Line-control codes of the device control block.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kTwoStopBits = 2;
inline constexpr std::uint32_t kDtrControlDisable = 0;
inline constexpr std::uint32_t kDtrControlEnable = 1;
inline constexpr std::uint32_t kDtrControlHandshake = 2;
inline constexpr std::uint32_t kRtsControlDisable = 0;
inline constexpr std::uint32_t kRtsControlEnable = 1;
inline constexpr std::uint32_t kRtsControlHandshake = 2;

inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Device control block: the line settings, laid out as serial drivers have long exchanged
// them (28 bytes), so DCBlength means what it always meant.
struct DCB {
    std::uint32_t DCBlength = sizeof(DCB);
    std::uint32_t BaudRate = 0;
    std::uint32_t fBinary : 1 = 0;
    std::uint32_t fParity : 1 = 0;
    std::uint32_t fOutxCtsFlow : 1 = 0;
    std::uint32_t fOutxDsrFlow : 1 = 0;
    std::uint32_t fDtrControl : 2 = 0;
    std::uint32_t fDsrSensitivity : 1 = 0;
    std::uint32_t fTXContinueOnXoff : 1 = 0;
    std::uint32_t fOutX : 1 = 0;
    std::uint32_t fInX : 1 = 0;
    std::uint32_t fErrorChar : 1 = 0;
    std::uint32_t fNull : 1 = 0;
    std::uint32_t fRtsControl : 2 = 0;
    std::uint32_t fAbortOnError : 1 = 0;
    std::uint32_t fDummy2 : 17 = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "the device control block is 28 bytes");

// Outcome of starting a transfer (ReadFile/WriteFile: Finished, Pending or Failed) or of
// asking for its result (GetOverlappedResult: Finished, Incomplete or Failed).
enum class IoStatus { Finished, Pending, Incomplete, Failed };

// One overlapped I/O block: the event the caller created for it, the (always zero) offsets,
// and the driver's own record of a transfer in progress. Only the driver touches the
// driver fields; one block carries at most one transfer at a time.
struct OverlappedBlock {
    CommHandle hEvent = kNullHandle;
    std::uint32_t Offset = 0;
    std::uint32_t OffsetHigh = 0;
    // Driver-private state of a pending transfer.
    void* buffer = nullptr;
    std::uint32_t requested = 0;
    std::uint32_t transferred = 0;
    bool pending = false;
    bool isWrite = false;
};

class CommDriver {
public:
    virtual ~CommDriver() = default;

    // Opens a port by its name ("COM1".."COM8") for reading and writing, exclusively.
    // Returns kInvalidHandleValue when the port does not exist or another program holds it;
    // LastOpenError then says why.
    virtual CommHandle CreateFile(std::string_view portName) = 0;
    // Why the last CreateFile of the calling thread failed (PortProblem::None after one that
    // succeeded, or before any): threads opening ports at the same time each learn their own.
    virtual PortOpenError LastOpenError() const { return {}; }
    // Closes a port or an event handle.
    virtual bool CloseHandle(CommHandle handle) = 0;
    // A manual-reset event, not signalled, unnamed. kNullHandle when none can be had.
    virtual CommHandle CreateEvent() = 0;

    // Sets the events a wait reports. Changing the mask makes a wait in progress return, also
    // a wait that begins just after the change (no lost wake-up).
    virtual bool SetCommMask(CommHandle port, std::uint32_t mask) = 0;
    // Blocks until an event of the mask occurs or the mask changes; *events gets the events
    // that occurred (0 when woken by a mask change).
    virtual bool WaitCommEvent(CommHandle port, std::uint32_t* events) = 0;
    virtual bool SetupComm(CommHandle port, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool PurgeComm(CommHandle port, std::uint32_t flags) = 0;
    virtual bool SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) = 0;
    virtual bool GetCommState(CommHandle port, DCB* dcb) = 0;
    // Fails when the device refuses the settings.
    virtual bool SetCommState(CommHandle port, const DCB& dcb) = 0;
    virtual bool EscapeCommFunction(CommHandle port, std::uint32_t function) = 0;
    // Clears the port's error state and reports the bytes waiting in the input queue.
    virtual bool ClearCommError(CommHandle port, std::uint32_t* queuedIn) = 0;

    // Start a transfer: Finished (with *done bytes), Pending, or Failed.
    virtual IoStatus ReadFile(CommHandle port, void* dest, std::uint32_t count, std::uint32_t* done,
                              OverlappedBlock* block) = 0;
    virtual IoStatus WriteFile(CommHandle port, const void* src, std::uint32_t count,
                               std::uint32_t* done, OverlappedBlock* block) = 0;
    // Result of a pending transfer: Finished (with *done bytes), Incomplete (not yet, only when
    // not waiting or when a wait was cut short) or Failed (*done holds what was moved so far).
    virtual IoStatus GetOverlappedResult(CommHandle port, OverlappedBlock* block,
                                         std::uint32_t* done, bool wait) = 0;

    // What the port's line tolerated rather than failed on since last asked ("the server did
    // not confirm DTR"), oldest first, for the trace. None by default.
    virtual std::vector<std::string> TakeLineNotes(CommHandle /*port*/) { return {}; }

    // Thread and time services. The defaults are the real ones; fakes override them.
    // Starts body on a new thread; false when no thread can be had.
    virtual bool CreateThread(std::function<void()> body, std::thread& thread);
    virtual void Sleep(std::uint32_t milliseconds);
    // Milliseconds on a clock that only runs forward (not the wall clock, which an operator or
    // a time service may step), for deadlines.
    virtual std::uint64_t GetTickCount64();
    // Debugger output: silent unless COUNTRYSET_DEBUG is set, then to stderr.
    virtual void OutputDebugString(std::string_view text);
};

}  // namespace countryset
