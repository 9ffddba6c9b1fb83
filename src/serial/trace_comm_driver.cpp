#include "serial/trace_comm_driver.h"

#include <cstdio>
#include <string>

namespace countryset {

std::string EscapeWireBytes(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

TraceCommDriver::TraceCommDriver(CommDriver& inner, std::ostream& out)
    : m_inner(inner), m_out(out), m_start(std::chrono::steady_clock::now()) {}

void TraceCommDriver::Record(CommHandle port, bool isWrite, const void* bytes,
                             std::uint32_t count) {
    const std::lock_guard lock(m_mutex);
    RecordLocked(port, isWrite, bytes, count);
}

std::string TraceCommDriver::Tag(CommHandle port) const {
    if (!m_tagPorts) {
        return {};
    }
    const auto found = m_portNames.find(port);
    return " " + (found != m_portNames.end() ? found->second : std::string("?"));
}

// The time is taken under the lock, so the lines' times run forward in the order they appear.
void TraceCommDriver::RecordLocked(CommHandle port, bool isWrite, const void* bytes,
                                   std::uint32_t count) {
    if (count == 0) {
        return;
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - m_start)
                            .count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lld.%06lld", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    // Flushed line by line: a run that is killed still leaves what crossed the wire.
    m_out << stamp << Tag(port) << (isWrite ? " -> " : " <- ")
          << EscapeWireBytes({static_cast<const char*>(bytes), count}) << '\n'
          << std::flush;
}

void TraceCommDriver::StampedLine(std::string_view tag, std::string_view text) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - m_start)
                            .count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lld.%06lld ", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    m_out << stamp << tag << (tag.empty() ? "" : " ") << text << '\n' << std::flush;
}

void TraceCommDriver::RecordShortWrite(CommHandle port, std::uint32_t sent, std::uint32_t count) {
    const std::string tag = Tag(port);
    StampedLine(std::string_view(tag).substr(tag.empty() ? 0 : 1),
                "!! only " + std::to_string(sent) + " of " + std::to_string(count) +
                    " bytes of the write above were sent");
}

void TraceCommDriver::Note(std::string_view text) {
    const std::lock_guard lock(m_mutex);
    StampedLine({}, "## " + EscapeWireBytes(text));
}

void TraceCommDriver::Note(std::string_view port, std::string_view text) {
    const std::lock_guard lock(m_mutex);
    StampedLine(m_tagPorts ? EscapeWireBytes(port) : std::string(), "## " + EscapeWireBytes(text));
}

void TraceCommDriver::NoteLine(CommHandle port) {
    const std::vector<std::string> notes = m_inner.TakeLineNotes(port);
    if (notes.empty()) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    const std::string tag = Tag(port);
    for (const std::string& text : notes) {
        StampedLine(std::string_view(tag).substr(tag.empty() ? 0 : 1),
                    "## " + EscapeWireBytes(text));
    }
}

IoStatus TraceCommDriver::ReadFile(CommHandle port, void* dest, std::uint32_t count,
                                   std::uint32_t* done, OverlappedBlock* block) {
    const IoStatus status = m_inner.ReadFile(port, dest, count, done, block);
    if (status == IoStatus::Finished) {
        Record(port, false, dest, done != nullptr ? *done : 0);
    } else if (status == IoStatus::Pending) {
        const std::lock_guard lock(m_mutex);
        m_inFlight[block] = InFlight{static_cast<const char*>(dest), false, 0};
    }
    return status;
}

IoStatus TraceCommDriver::WriteFile(CommHandle port, const void* src, std::uint32_t count,
                                    std::uint32_t* done, OverlappedBlock* block) {
    // Held across the write: the modem's answer, read by another thread the moment the command
    // left, must not reach the trace before the command does.
    const std::lock_guard lock(m_mutex);
    const IoStatus status = m_inner.WriteFile(port, src, count, done, block);
    if (status == IoStatus::Finished) {
        RecordLocked(port, true, src, done != nullptr ? *done : 0);
    } else if (status == IoStatus::Pending) {
        // Handed to the port: its answer may be read before the write is known to have ended.
        RecordLocked(port, true, src, count);
        m_inFlight[block] = InFlight{static_cast<const char*>(src), true, count};
    } else if (status == IoStatus::Failed && done != nullptr && *done > 0) {
        // A line that failed partway (a connection closed mid-write) still sent the first bytes.
        RecordLocked(port, true, src, *done);
        RecordShortWrite(port, *done, count);
    }
    return status;
}

IoStatus TraceCommDriver::GetOverlappedResult(CommHandle port, OverlappedBlock* block,
                                              std::uint32_t* done, bool wait) {
    const IoStatus status = m_inner.GetOverlappedResult(port, block, done, wait);
    if (status == IoStatus::Incomplete) {
        return status;
    }
    const std::lock_guard lock(m_mutex);
    const auto found = m_inFlight.find(block);
    if (found == m_inFlight.end()) {
        return status;
    }
    const InFlight transfer = found->second;
    m_inFlight.erase(found);
    // A failed transfer still moved *done bytes, and they crossed the wire.
    const std::uint32_t moved = done != nullptr ? *done : 0;
    if (!transfer.isWrite) {
        RecordLocked(port, false, transfer.bytes, moved);
    } else if (moved < transfer.count) {
        RecordShortWrite(port, moved, transfer.count);
    }
    return status;
}

CommHandle TraceCommDriver::CreateFile(std::string_view portName) {
    {
        // The trace starts with the first port: a file behind the stream is opened now.
        const std::lock_guard lock(m_mutex);
        m_out.flush();
    }
    const CommHandle handle = m_inner.CreateFile(portName);
    if (m_tagPorts && handle != kInvalidHandleValue) {
        const std::lock_guard lock(m_mutex);
        m_portNames[handle] = EscapeWireBytes(portName);
    }
    NoteLine(handle);
    return handle;
}
bool TraceCommDriver::CloseHandle(CommHandle handle) {
    NoteLine(handle);
    if (m_tagPorts) {
        // Before the close: the driver may give the number to the next port opened.
        const std::lock_guard lock(m_mutex);
        m_portNames.erase(handle);
    }
    return m_inner.CloseHandle(handle);
}
CommHandle TraceCommDriver::CreateEvent() {
    return m_inner.CreateEvent();
}
bool TraceCommDriver::SetCommMask(CommHandle port, std::uint32_t mask) {
    return m_inner.SetCommMask(port, mask);
}
bool TraceCommDriver::WaitCommEvent(CommHandle port, std::uint32_t* events) {
    return m_inner.WaitCommEvent(port, events);
}
bool TraceCommDriver::SetupComm(CommHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    return m_inner.SetupComm(port, inQueue, outQueue);
}
bool TraceCommDriver::PurgeComm(CommHandle port, std::uint32_t flags) {
    const bool done = m_inner.PurgeComm(port, flags);
    NoteLine(port);
    return done;
}
bool TraceCommDriver::SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) {
    return m_inner.SetCommTimeouts(port, timeouts);
}
bool TraceCommDriver::GetCommState(CommHandle port, DCB* dcb) {
    return m_inner.GetCommState(port, dcb);
}
bool TraceCommDriver::SetCommState(CommHandle port, const DCB& dcb) {
    const bool done = m_inner.SetCommState(port, dcb);
    NoteLine(port);
    return done;
}
bool TraceCommDriver::EscapeCommFunction(CommHandle port, std::uint32_t function) {
    const bool done = m_inner.EscapeCommFunction(port, function);
    NoteLine(port);
    return done;
}
bool TraceCommDriver::ClearCommError(CommHandle port, std::uint32_t* queuedIn) {
    return m_inner.ClearCommError(port, queuedIn);
}
bool TraceCommDriver::CreateThread(std::function<void()> body, std::thread& thread) {
    return m_inner.CreateThread(std::move(body), thread);
}
void TraceCommDriver::Sleep(std::uint32_t milliseconds) {
    m_inner.Sleep(milliseconds);
}
std::uint64_t TraceCommDriver::GetTickCount64() {
    return m_inner.GetTickCount64();
}
void TraceCommDriver::OutputDebugString(std::string_view text) {
    m_inner.OutputDebugString(text);
}

}  // namespace countryset
