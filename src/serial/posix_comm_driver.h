// The comm driver over POSIX terminals: real serial ports, USB adapters and pseudo-terminals.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "serial/comm_driver.h"

namespace countryset {

class PosixCommDriver : public CommDriver {
public:
    // Maps a port name ("COM3") to the device to open; an empty path means "no such port".
    using PortResolver = std::function<std::string(std::string_view portName)>;

    // The settings file says which device each port is (settings/port_devices.h).
    explicit PosixCommDriver(PortResolver resolver);
    // Closes every handle still open, so the devices are left unlocked and as they were found.
    ~PosixCommDriver() override;

    PosixCommDriver(const PosixCommDriver&) = delete;
    PosixCommDriver& operator=(const PosixCommDriver&) = delete;

    // For a process about to end: puts every open port back as it was found (DTR dropped,
    // queues purged, line settings restored, exclusive use and lock released), wakes every
    // waiter, and from then on refuses every call that would touch a device. Safe against
    // calls in progress on other threads; returns once no call can change a line any more.
    void ReleaseAllPorts();

    // How long WaitCommEvent rests after a hang-up or read error before it reports the failure.
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

    IoStatus ReadFile(CommHandle port, void* dest, std::uint32_t count, std::uint32_t* done,
                      OverlappedBlock* block) override;
    IoStatus WriteFile(CommHandle port, const void* src, std::uint32_t count, std::uint32_t* done,
                       OverlappedBlock* block) override;
    IoStatus GetOverlappedResult(CommHandle port, OverlappedBlock* block, std::uint32_t* done,
                                 bool wait) override;

private:
    struct Port;
    struct Record {
        std::shared_ptr<Port> port;  // empty for an event
    };

    std::shared_ptr<Port> FindPort(CommHandle handle);
    // FindPort for a call that changes the device: the port only while it is not released,
    // with the line lock held in `line` for the call.
    std::shared_ptr<Port> FindLivePort(CommHandle handle,
                                       std::shared_lock<std::shared_mutex>& line);
    // Checks a transfer's arguments and arms its block; nullptr when it cannot start.
    std::shared_ptr<Port> BeginTransfer(CommHandle handle, void* buffer, std::uint32_t count,
                                        OverlappedBlock* block, bool isWrite);
    CommHandle Insert(Record record);
    // CreateFile's work; error says why it failed.
    CommHandle OpenDevice(std::string_view portName, PortOpenError& error);

    PortResolver resolver_;
    // Every call that changes a device holds it shared; ReleaseAllPorts holds it alone.
    std::shared_mutex lineMutex_;
    bool released_ = false;  // guarded by lineMutex_
    std::mutex mutex_;       // guards records_ and nextHandle_
    std::unordered_map<CommHandle, Record> records_;
    CommHandle nextHandle_ = 1;
    // Per thread, as the system keeps its last error: ports opened at the same time on several
    // threads each learn why their own open failed.
    mutable std::mutex openErrorMutex_;
    std::unordered_map<std::thread::id, PortOpenError> lastOpenErrors_;  // openErrorMutex_
};

}  // namespace countryset
