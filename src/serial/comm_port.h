// The serial port object: opens, configures and closes one of COM1..COM8 and moves blocks
// through it with overlapped transfers that it waits out, so every operation blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "seams/message_boxes.h"
#include "serial/comm_driver.h"
#include "serial/port_state.h"

namespace countryset {

class ReceiveRing;

// The line settings a run holds the port to. Every field is set: a port keeps what the program
// before left in it (a stop character that halts output at any BEL byte, replies dropped
// without DSR, I/O that fails after one line error), and none of that may decide this run.
DCB RunLineSettings(const PortState& state);

inline constexpr std::uint32_t kQueueSize = 2048;
inline constexpr std::uint32_t kPurgeAll =
    kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;
inline constexpr std::uint32_t kClosePollMilliseconds = 100;

class CCommPort {
public:
    // Allocates a zero-filled record; nullptr stands for "out of memory".
    using StateAllocator = std::function<std::unique_ptr<PortState>()>;

    // Both must outlive the port object.
    CCommPort(CommDriver& driver, MessageBoxes& messages);
    // Stops a running watcher (ClosePort) before anything else, then releases the events.
    ~CCommPort();
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    // For tests of the out-of-memory path; call before CreatePortState.
    void SetStateAllocator(StateAllocator allocate) { m_allocate = std::move(allocate); }

    // Record plus the read and write events; on any failure the object is left without a
    // record and whatever was made is released.
    bool CreatePortState();

    // Without a record each of these does nothing and returns 0/false.
    bool OpenPort();
    bool ConfigurePort();
    // Stops the watcher (waiting for it in 100 ms pauses), drops DTR, purges, closes the port.
    // Never to be called on the watcher thread.
    void ClosePort();
    // True only when every byte went out; a short write also shows its count.
    bool WriteBlock(const void* bytes, std::uint32_t count);
    // Reads at most maxCount bytes that are already queued; returns how many it placed.
    std::uint32_t ReadAvailable(void* dest, std::uint32_t maxCount);

    // Starts DutWatcher on a thread of its own. The running flag, identity and handle are
    // stored before the watcher first tests the flag; when no thread can be had, the flag
    // stays 0 and false is returned. The ring must outlive the watcher.
    bool StartWatcher(ReceiveRing& ring);

    // nullptr until CreatePortState succeeds.
    PortState* State() const { return m_state.get(); }
    CommDriver& Driver() const { return m_driver; }
    MessageBoxes& Messages() const { return m_messages; }

private:
    void JoinEndedWatcher();
    // ClosePort's steps; without polling it waits for the watcher thread itself to end.
    void StopPort(bool pollForWatcher);

    CommDriver& m_driver;
    MessageBoxes& m_messages;
    StateAllocator m_allocate;
    std::unique_ptr<PortState> m_state;
    std::thread m_watcher;
    // Go-ahead for a new watcher, given once its flag, identity and handle are stored.
    static constexpr int kWatcherWait = 0;
    static constexpr int kWatcherGo = 1;
    static constexpr int kWatcherCancel = 2;
    std::atomic<int> m_watcherGo{kWatcherWait};
    std::uint32_t m_lastWatcherId = 0;
};

}  // namespace countryset
