// A comm driver that records the wire: every byte written and read through the driver it wraps,
// one line per transfer, with the time since the trace began on a clock that only runs forward.
// Lines look like
//      0.012345 -> ATZE1\r
//      0.031002 <- ATZE1\r\r\nOK\r\n
// A write is recorded when it is handed to the port, before any answer to it can be; one that
// then moves fewer bytes adds a line "!! only N of M bytes of the write above were sent".
// with \r, \n, \\ and every other control or non-ASCII byte escaped (\x00), so a trace is safe
// to print and says exactly which bytes crossed.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "serial/comm_driver.h"

namespace countryset {

// The readable form of bytes on the wire.
std::string EscapeWireBytes(std::string_view bytes);

class TraceCommDriver : public CommDriver {
public:
    // Both must outlive the decorator; out is written from the user-interface and watcher
    // threads, one whole line at a time, and flushed when the first port is opened.
    TraceCommDriver(CommDriver& inner, std::ostream& out);

    // A line of the program's own between the transfers ("   0.412345 ## not verified: ..."),
    // escaped like the bytes on the wire.
    void Note(std::string_view text);

    // For several ports at once: each line then names the port it is about after its time
    // ("   0.012345 COM3 -> ATZE1\r"). Set before the first port is opened.
    void TagPorts() { m_tagPorts = true; }
    // A note about one port, tagged with it when ports are tagged.
    void Note(std::string_view port, std::string_view text);

    std::vector<std::string> TakeLineNotes(CommHandle port) override {
        return m_inner.TakeLineNotes(port);
    }

    CommHandle CreateFile(std::string_view portName) override;
    PortOpenError LastOpenError() const override { return m_inner.LastOpenError(); }
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
    struct InFlight {
        const char* bytes;
        bool isWrite;
        std::uint32_t count;  // for a write: the bytes already recorded
    };
    void Record(CommHandle port, bool isWrite, const void* bytes, std::uint32_t count);
    void RecordLocked(CommHandle port, bool isWrite, const void* bytes, std::uint32_t count);
    void RecordShortWrite(CommHandle port, std::uint32_t sent, std::uint32_t count);
    // Writes one line: the time stamp, the port's tag, then text; the caller holds m_mutex.
    void StampedLine(std::string_view tag, std::string_view text);
    // " COM3" when ports are tagged, else nothing; the caller holds m_mutex.
    std::string Tag(CommHandle port) const;
    // The remarks of the port's line, each as a note about that port.
    void NoteLine(CommHandle port);

    CommDriver& m_inner;
    std::ostream& m_out;
    const std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::map<const OverlappedBlock*, InFlight> m_inFlight;  // guarded by m_mutex
    bool m_tagPorts = false;
    std::map<CommHandle, std::string> m_portNames;  // guarded by m_mutex, when tagged
};

}  // namespace countryset
