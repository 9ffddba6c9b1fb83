// The comm driver over the Windows communications API: \\.\COMn opened for overlapped I/O.
// The system's types stay in the .cpp, so this header can sit beside any other.
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

class Win32CommDriver : public CommDriver {
public:
    // Maps a port name ("COM3") to the device to open ("\\.\COM12"); an empty name means "no
    // such port". Without one, COMn opens \\.\COMn (DevicePath).
    using PortResolver = std::function<std::string(std::string_view portName)>;

    explicit Win32CommDriver(PortResolver resolver = nullptr) : resolver_(std::move(resolver)) {}
    // Closes every handle still open, each port put back as it was found.
    ~Win32CommDriver() override;

    Win32CommDriver(const Win32CommDriver&) = delete;
    Win32CommDriver& operator=(const Win32CommDriver&) = delete;

    // "COMn" in any case, n from 1 to 256 without leading zeros -> L"\\.\COMn"; else "".
    static std::wstring DevicePath(std::string_view portName);

    // For a process about to end: puts every open port back as it was found (DTR dropped,
    // transfers aborted, queues purged, line settings restored), wakes every waiter, and from
    // then on refuses every call that would touch a device. The handles themselves close with
    // the process. Safe against calls in progress on other threads.
    void ReleaseAllPorts();

    // When waits keep completing with nothing to report (Wine on a pseudo-terminal, where a
    // wait also costs CPU while it lasts), WaitCommEvent rests between them: kIdleRewaitMs
    // after the first empty wake, twice as long after each further one up to kIdleRestMaxMs,
    // looking at the input queue every kIdlePollMs meanwhile so bytes are not missed.
    static constexpr std::uint32_t kIdleRewaitMs = 15;
    static constexpr std::uint32_t kIdleRestMaxMs = 4000;
    static constexpr std::uint32_t kIdlePollMs = 25;
    // How long WaitCommEvent rests after the system refused to start a wait.
    static constexpr std::uint32_t kErrorPauseMs = 100;

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
    // The wide path of the device that portName opens; empty for none.
    std::wstring DeviceOf(std::string_view portName) const;
    void NoteOpenError(std::string_view portName, PortProblem problem, std::uint32_t systemError);
    PortResolver resolver_;
    // Per thread, as the system keeps its last error: ports opened at the same time on several
    // threads each learn why their own open failed.
    mutable std::mutex openErrorMutex_;
    std::unordered_map<std::thread::id, PortOpenError> lastOpenErrors_;  // openErrorMutex_

    struct Port;
    struct Event;
    struct Record {
        std::shared_ptr<Port> port;    // set for a port
        std::shared_ptr<Event> event;  // set for an event
    };

    std::shared_ptr<Port> FindPort(CommHandle handle);
    std::shared_ptr<Event> FindEvent(CommHandle handle);
    // FindPort for a call that touches the device: the port only while it is not released,
    // with the line lock held in `line` for the call.
    std::shared_ptr<Port> FindLivePort(CommHandle handle,
                                       std::shared_lock<std::shared_mutex>& line);
    IoStatus StartTransfer(CommHandle handle, void* buffer, std::uint32_t count,
                           std::uint32_t* done, OverlappedBlock* block, bool isWrite);
    CommHandle Insert(Record record);

    // Every call that touches a device holds it shared; ReleaseAllPorts holds it alone.
    std::shared_mutex lineMutex_;
    bool released_ = false;  // guarded by lineMutex_
    std::mutex mutex_;       // guards records_ and nextHandle_
    std::unordered_map<CommHandle, Record> records_;
    CommHandle nextHandle_ = 1;
};

}  // namespace countryset
