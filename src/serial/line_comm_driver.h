// The comm driver over lines (line.h): one handle table for ports and events, and the port
// logic's calls carried out on whatever line a port name opens. The systems' drivers
// (PosixCommDriver, Win32CommDriver) only say which line a name opens.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "serial/comm_driver.h"
#include "serial/line.h"

namespace countryset {

class LineCommDriver : public CommDriver {
public:
    LineCommDriver() = default;
    // Closes every line still open, each put back as it was found.
    ~LineCommDriver() override;
    LineCommDriver(const LineCommDriver&) = delete;
    LineCommDriver& operator=(const LineCommDriver&) = delete;

    // For a process about to end: puts every open line back as it was found (DTR dropped,
    // queues purged, line settings restored, exclusive use released, connections ended), wakes
    // every waiter, and from then on refuses every open and every call that would touch a line.
    // Safe against calls in progress on other threads, an open included; returns once no call
    // can change a line any more. Runs on an ordinary thread (the process's signals are taken
    // by a thread of their own), so it may lock.
    void ReleaseAllPorts();

    // How long WaitCommEvent rests after a hang-up or a failed read before it reports the
    // failure, so that a watcher looping on a dead line does not spin.
    static constexpr int kErrorPauseMs = 100;

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

    // A read moves what is there and never waits (the port logic reads what the queue count
    // promised); a write waits for room until its time-out, and one that ends short reports
    // Pending, then its count.
    IoStatus ReadFile(CommHandle port, void* dest, std::uint32_t count, std::uint32_t* done,
                      OverlappedBlock* block) override;
    IoStatus WriteFile(CommHandle port, const void* src, std::uint32_t count, std::uint32_t* done,
                       OverlappedBlock* block) override;
    IoStatus GetOverlappedResult(CommHandle port, OverlappedBlock* block, std::uint32_t* done,
                                 bool wait) override;

    std::vector<std::string> TakeLineNotes(CommHandle port) override;

protected:
    // The line a port name opens; nullptr, with error filled, when it cannot be had. Called
    // without any of the driver's locks held: a network line may take seconds to connect.
    virtual std::unique_ptr<Line> OpenLine(std::string_view portName, PortOpenError& error) = 0;

private:
    struct Port {
        explicit Port(std::unique_ptr<Line> opened) : line(std::move(opened)) {}
        CommTimeouts Timeouts() {
            std::lock_guard lock(timeoutsMutex);
            return timeouts;
        }
        const std::shared_ptr<Line> line;
        std::atomic<std::uint32_t> mask{0};
        std::atomic<bool> closed{false};
        // Set by a failed read so that the next wait rests instead of reporting at once.
        std::atomic<bool> readFailed{false};
        std::mutex timeoutsMutex;
        CommTimeouts timeouts;  // guarded by timeoutsMutex
    };
    struct Record {
        std::shared_ptr<Port> port;  // empty for an event
    };

    std::shared_ptr<Port> FindPort(CommHandle handle);
    // FindPort for a call that touches the line: nullptr once the port is closed or released.
    std::shared_ptr<Port> FindLivePort(CommHandle handle);
    CommHandle Insert(Record record);
    void NoteOpenError(PortOpenError error);
    // Rests until a wake, the line's close or the error pause; always false.
    static bool RestThenFail(Port& port);

    // Opens hold it shared while they put a port on record; ReleaseAllPorts holds it alone, so
    // it sees every port that an open will ever return.
    std::shared_mutex openMutex_;
    bool released_ = false;  // guarded by openMutex_
    std::mutex mutex_;       // guards records_ and nextHandle_
    std::unordered_map<CommHandle, Record> records_;
    CommHandle nextHandle_ = 1;
    // Per thread, as the system keeps its last error: ports opened at the same time on several
    // threads each learn why their own open failed.
    mutable std::mutex openErrorMutex_;
    std::unordered_map<std::thread::id, PortOpenError> lastOpenErrors_;  // openErrorMutex_
};

}  // namespace countryset
