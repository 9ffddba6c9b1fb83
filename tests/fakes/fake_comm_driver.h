// A scriptable comm driver for unit tests: ports that exist or not, a line whose incoming
// bytes a test pushes (from any thread), transfers that finish, pend, end short or fail, and a
// log of every call in order. Built as its own library, which the program never links.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serial/comm_driver.h"

namespace countryset::testing {

// How one transfer goes. The default finishes at once with every byte asked for (for a read:
// as many as are queued).
struct TransferScript {
    TransferScript(IoStatus begins = IoStatus::Finished, int incomplete = 0,
                   IoStatus ends = IoStatus::Finished,
                   std::optional<std::uint32_t> reports = std::nullopt)
        : start(begins), incompleteReports(incomplete), end(ends), reported(reports) {}

    // Finished, Pending, or Failed (refused at once, or partway for a write that reports
    // bytes moved).
    IoStatus start;
    // While pending: how many GetOverlappedResult calls report Incomplete before the end.
    int incompleteReports;
    // While pending: Finished or Failed.
    IoStatus end;
    // Bytes reported as moved; unset means all that could be moved. A read never places more
    // than it asked for or than is queued, whatever it reports.
    std::optional<std::uint32_t> reported;
};

class FakeCommDriver : public CommDriver {
public:
    // --- scripting -------------------------------------------------------------------------
    // Every name exists unless removed here; opening a removed one fails as NoSuchDevice.
    void SetPortExists(const std::string& name, bool exists);
    // Opening the name fails with this reason (PortProblem::None: opens again).
    void SetOpenError(const std::string& name, PortOpenError error);
    void RefuseLineSettings(bool refuse);
    // The n-th CreateEvent call (1-based, counted from construction) fails.
    void FailCreateEvent(int callNumber);
    // CreateThread reports failure (after starting the thread all the same).
    void FailCreateThread(bool fail);
    void QueueWriteScript(TransferScript script);
    void QueueReadScript(TransferScript script);
    // Bytes arriving on the line; wakes a WaitCommEvent whose mask holds kEvRxChar.
    void PushIncoming(std::string_view bytes);
    // Called with the bytes of each WriteFile, outside the driver's lock, so it may push a
    // reply: the modem's part.
    void SetWriteHook(std::function<void(std::string_view)> hook);
    // Called after each Sleep is logged, with the total milliseconds slept so far.
    void SetSleepHook(std::function<void(std::uint32_t)> hook);
    // GetTickCount64() asks this clock when set, the real one otherwise: in milliseconds, or in
    // whole seconds for tests that only count seconds.
    void SetTickClock(std::function<std::uint64_t()> milliseconds);
    void SetClock(std::function<std::time_t()> seconds);

    // --- observation -----------------------------------------------------------------------
    // Each call as "Name arg arg", in order, from every thread; only those whose name is
    // given, or all when none is.
    std::vector<std::string> Calls(const std::set<std::string>& names = {}) const;
    // Forgets the calls logged so far.
    void ClearCalls();
    std::size_t QueuedIncoming() const;
    // Every byte that writes moved, in order.
    std::string Written() const;
    std::optional<DCB> LastDcb() const;
    std::optional<CommTimeouts> LastTimeouts() const;
    // The events the last SetCommMask asked for.
    std::uint32_t Mask() const;
    int OpenPorts() const;
    int OpenEvents() const;

    // --- CommDriver ------------------------------------------------------------------------
    CommHandle CreateFile(std::string_view portName) override;
    PortOpenError LastOpenError() const override;
    bool CloseHandle(CommHandle handle) override;
    CommHandle CreateEvent() override;
    bool SetCommMask(CommHandle port, std::uint32_t mask) override;
    bool WaitCommEvent(CommHandle port, std::uint32_t* events) override;
    bool SetupComm(CommHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool PurgeComm(CommHandle port, std::uint32_t flags) override;
    bool SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) override;
    bool GetCommState(CommHandle port, DCB* dcb) override;
    bool SetCommState(CommHandle port, const DCB& dcb) override;
    bool EscapeCommFunction(CommHandle port, std::uint32_t function) override;
    bool ClearCommError(CommHandle port, std::uint32_t* queuedIn) override;
    IoStatus ReadFile(CommHandle port, void* dest, std::uint32_t count, std::uint32_t* done,
                      OverlappedBlock* block) override;
    IoStatus WriteFile(CommHandle port, const void* src, std::uint32_t count, std::uint32_t* done,
                       OverlappedBlock* block) override;
    IoStatus GetOverlappedResult(CommHandle port, OverlappedBlock* block, std::uint32_t* done,
                                 bool wait) override;
    bool CreateThread(std::function<void()> body, std::thread& thread) override;
    void Sleep(std::uint32_t milliseconds) override;
    std::uint64_t GetTickCount64() override;
    void OutputDebugString(std::string_view text) override;

private:
    enum class HandleKind { Port, Event };

    // Each of these: the caller holds m_mutex.
    bool LoggedOpenPort(std::string entry, CommHandle port);
    int CountOpen(HandleKind kind) const;
    std::uint32_t MoveIncoming(void* dest, std::uint32_t count);
    TransferScript NextScript(std::deque<TransferScript>& scripts);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_calls;

    std::set<std::string> m_missingPorts;
    std::map<std::string, PortOpenError> m_openErrors;
    PortOpenError m_lastOpenError;
    bool m_refuseSettings = false;
    std::set<int> m_failingEvents;
    int m_eventCalls = 0;
    bool m_failThread = false;
    std::deque<TransferScript> m_writeScripts;
    std::deque<TransferScript> m_readScripts;
    // Pending transfers and how many Incomplete reports each has left.
    std::map<const OverlappedBlock*, std::pair<TransferScript, int>> m_pending;

    std::map<CommHandle, HandleKind> m_open;
    CommHandle m_nextHandle = 100;

    std::deque<char> m_incoming;
    std::string m_written;
    std::uint32_t m_mask = 0;
    std::uint64_t m_maskChanges = 0;
    std::uint64_t m_maskChangesSeen = 0;
    std::optional<DCB> m_dcb;
    std::optional<CommTimeouts> m_timeouts;
    std::uint32_t m_slept = 0;
    const std::chrono::steady_clock::time_point m_created = std::chrono::steady_clock::now();

    std::function<void(std::string_view)> m_writeHook;
    std::function<void(std::uint32_t)> m_sleepHook;
    std::function<std::uint64_t()> m_clock;
};

}  // namespace countryset::testing
