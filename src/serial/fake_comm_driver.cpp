#include "support/fake_comm_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace countryset::testing {

FakeCommDriver::FakeCommDriver() = default;
FakeCommDriver::~FakeCommDriver() = default;

void FakeCommDriver::SetPortExists(const std::string& name, bool exists) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (exists) {
        m_missingPorts.erase(name);
    } else {
        m_missingPorts.insert(name);
    }
}

void FakeCommDriver::RefuseLineSettings(bool refuse) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refuseSettings = refuse;
}

void FakeCommDriver::FailCreateEvent(int callNumber) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failingEvents.insert(callNumber);
}

void FakeCommDriver::FailCreateThread(bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failThread = fail;
}

void FakeCommDriver::QueueWriteScript(TransferScript script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writeScripts.push_back(script);
}

void FakeCommDriver::QueueReadScript(TransferScript script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readScripts.push_back(script);
}

void FakeCommDriver::PushIncoming(std::string_view bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_incoming.insert(m_incoming.end(), bytes.begin(), bytes.end());
    }
    m_changed.notify_all();
}

void FakeCommDriver::SetWriteHook(std::function<void(std::string_view)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writeHook = std::move(hook);
}

void FakeCommDriver::SetSleepHook(std::function<void(std::uint32_t)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sleepHook = std::move(hook);
}

void FakeCommDriver::SetClock(std::function<std::time_t()> clock) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock = std::move(clock);
}

void FakeCommDriver::SetTime(std::time_t now, std::time_t stepPerCall) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_now = now;
    m_step = stepPerCall;
}

std::vector<std::string> FakeCommDriver::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<std::string> FakeCommDriver::Calls(std::set<std::string> names) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> picked;
    for (const auto& call : m_calls) {
        if (names.count(call.substr(0, call.find(' '))) != 0) {
            picked.push_back(call);
        }
    }
    return picked;
}

std::size_t FakeCommDriver::QueuedIncoming() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_incoming.size();
}

std::string FakeCommDriver::Written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

std::vector<std::uint32_t> FakeCommDriver::Sleeps() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeps;
}

std::vector<std::string> FakeCommDriver::DebugOutput() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_debug;
}

std::optional<DCB> FakeCommDriver::LastDcb() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dcb;
}

std::optional<CommTimeouts> FakeCommDriver::LastTimeouts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timeouts;
}

std::uint32_t FakeCommDriver::Mask() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mask;
}

bool FakeCommDriver::Dtr() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dtr;
}

int FakeCommDriver::OpenPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_open.begin(), m_open.end(), [](const auto& entry) {
        return entry.second == HandleKind::Port;
    }));
}

int FakeCommDriver::OpenEvents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_open.begin(), m_open.end(), [](const auto& entry) {
        return entry.second == HandleKind::Event;
    }));
}

int FakeCommDriver::BadCloses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_badCloses;
}

int FakeCommDriver::WaitCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waitCalls;
}

void FakeCommDriver::Log(std::string entry) {
    m_calls.push_back(std::move(entry));
}

bool FakeCommDriver::IsOpenPort(CommHandle port) const {
    auto it = m_open.find(port);
    return it != m_open.end() && it->second == HandleKind::Port;
}

std::uint32_t FakeCommDriver::MoveIncoming(void* dest, std::uint32_t count) {
    const auto moved = static_cast<std::uint32_t>(std::min<std::size_t>(count, m_incoming.size()));
    std::copy_n(m_incoming.begin(), moved, static_cast<char*>(dest));
    m_incoming.erase(m_incoming.begin(), m_incoming.begin() + moved);
    return moved;
}

CommHandle FakeCommDriver::CreateFile(std::string_view portName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("CreateFile " + std::string(portName));
    if (m_missingPorts.count(std::string(portName)) != 0) {
        return kInvalidHandleValue;
    }
    const CommHandle handle = m_nextHandle++;
    m_open[handle] = HandleKind::Port;
    return handle;
}

bool FakeCommDriver::CloseHandle(CommHandle handle) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_open.find(handle);
        if (it == m_open.end()) {
            ++m_badCloses;
            Log("CloseHandle bad");
            return false;
        }
        Log(it->second == HandleKind::Port ? "CloseHandle port" : "CloseHandle event");
        m_open.erase(it);
    }
    m_changed.notify_all();
    return true;
}

CommHandle FakeCommDriver::CreateEvent() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failingEvents.count(++m_eventCalls) != 0) {
        Log("CreateEvent failed");
        return kNullHandle;
    }
    Log("CreateEvent");
    const CommHandle handle = m_nextHandle++;
    m_open[handle] = HandleKind::Event;
    return handle;
}

bool FakeCommDriver::SetCommMask(CommHandle port, std::uint32_t mask) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Log("SetCommMask " + std::to_string(mask));
        if (!IsOpenPort(port)) {
            return false;
        }
        m_mask = mask;
        ++m_maskChanges;
    }
    m_changed.notify_all();
    return true;
}

bool FakeCommDriver::WaitCommEvent(CommHandle port, std::uint32_t* events) {
    std::unique_lock<std::mutex> lock(m_mutex);
    Log("WaitCommEvent");
    ++m_waitCalls;
    *events = 0;
    for (;;) {
        if (!IsOpenPort(port)) {
            return false;
        }
        if ((m_mask & EV_RXCHAR) != 0 && !m_incoming.empty()) {
            m_maskChangesSeen = m_maskChanges;
            *events = EV_RXCHAR;
            return true;
        }
        // A mask change since the last wait returned counts even when it came before this
        // wait began: no lost wake-up.
        if (m_maskChanges != m_maskChangesSeen) {
            m_maskChangesSeen = m_maskChanges;
            return true;
        }
        m_changed.wait(lock);
    }
}

bool FakeCommDriver::SetupComm(CommHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue));
    return IsOpenPort(port);
}

bool FakeCommDriver::PurgeComm(CommHandle port, std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("PurgeComm " + std::to_string(flags));
    if (!IsOpenPort(port)) {
        return false;
    }
    if ((flags & PURGE_RXCLEAR) != 0) {
        m_incoming.clear();
    }
    return true;
}

bool FakeCommDriver::SetCommTimeouts(CommHandle port, const CommTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("SetCommTimeouts");
    if (!IsOpenPort(port)) {
        return false;
    }
    m_timeouts = timeouts;
    return true;
}

bool FakeCommDriver::GetCommState(CommHandle port, DCB* dcb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("GetCommState " + std::to_string(dcb->DCBlength));
    if (!IsOpenPort(port)) {
        return false;
    }
    // What a driver might report: fields the port logic must leave alone carry marks.
    const std::uint32_t length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;
    dcb->BaudRate = 9600;
    dcb->ByteSize = 7;
    dcb->Parity = EVENPARITY;
    dcb->StopBits = TWOSTOPBITS;
    dcb->fDsrSensitivity = 1;
    dcb->fTXContinueOnXoff = 1;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 1;
    dcb->fNull = 1;
    dcb->fAbortOnError = 1;
    dcb->ErrorChar = '?';
    dcb->EofChar = 0x1a;
    dcb->EvtChar = '\n';
    return true;
}

bool FakeCommDriver::SetCommState(CommHandle port, const DCB& dcb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("SetCommState");
    if (!IsOpenPort(port) || m_refuseSettings) {
        return false;
    }
    m_dcb = dcb;
    return true;
}

bool FakeCommDriver::EscapeCommFunction(CommHandle port, std::uint32_t function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("EscapeCommFunction " + std::to_string(function));
    if (!IsOpenPort(port)) {
        return false;
    }
    if (function == SETDTR) {
        m_dtr = true;
    } else if (function == CLRDTR) {
        m_dtr = false;
    }
    return true;
}

bool FakeCommDriver::ClearCommError(CommHandle port, std::uint32_t* queuedIn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("ClearCommError");
    *queuedIn = static_cast<std::uint32_t>(m_incoming.size());
    return IsOpenPort(port);
}

IoStatus FakeCommDriver::ReadFile(CommHandle port, void* dest, std::uint32_t count,
                                  std::uint32_t* done, OverlappedBlock* block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("ReadFile " + std::to_string(count));
    TransferScript script;
    if (!m_readScripts.empty()) {
        script = m_readScripts.front();
        m_readScripts.pop_front();
    }
    *done = 0;
    if (!IsOpenPort(port) || script.start == IoStatus::Failed) {
        return IoStatus::Failed;
    }
    if (script.start == IoStatus::Pending) {
        block->buffer = dest;
        block->requested = count;
        block->pending = true;
        block->isWrite = false;
        m_pending[block] = Pending{script, script.incompleteReports};
        return IoStatus::Pending;
    }
    const std::uint32_t moved = MoveIncoming(dest, count);
    *done = script.reported.value_or(moved);
    return IoStatus::Finished;
}

IoStatus FakeCommDriver::WriteFile(CommHandle port, const void* src, std::uint32_t count,
                                   std::uint32_t* done, OverlappedBlock* block) {
    std::string sent;
    std::function<void(std::string_view)> hook;
    IoStatus status;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Log("WriteFile " + std::to_string(count));
        TransferScript script;
        if (!m_writeScripts.empty()) {
            script = m_writeScripts.front();
            m_writeScripts.pop_front();
        }
        *done = 0;
        if (!IsOpenPort(port) || script.start == IoStatus::Failed) {
            return IoStatus::Failed;
        }
        const std::uint32_t moved = std::min(count, script.reported.value_or(count));
        sent.assign(static_cast<const char*>(src), moved);
        m_written += sent;
        if (script.start == IoStatus::Pending) {
            block->requested = count;
            block->pending = true;
            block->isWrite = true;
            m_pending[block] = Pending{script, script.incompleteReports};
            status = IoStatus::Pending;
        } else {
            *done = script.reported.value_or(count);
            status = IoStatus::Finished;
        }
        hook = m_writeHook;
    }
    if (hook) {
        hook(sent);
    }
    return status;
}

IoStatus FakeCommDriver::GetOverlappedResult(CommHandle, OverlappedBlock* block,
                                             std::uint32_t* done, bool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log(std::string("GetOverlappedResult ") + (block->isWrite ? "write" : "read"));
    auto it = m_pending.find(block);
    if (it == m_pending.end()) {
        return IoStatus::Failed;
    }
    Pending& pending = it->second;
    if (pending.reportsLeft > 0) {
        --pending.reportsLeft;
        return IoStatus::Incomplete;
    }
    std::uint32_t moved = block->requested;
    if (!block->isWrite) {
        moved = MoveIncoming(block->buffer, block->requested);
    }
    *done = pending.script.reported.value_or(moved);
    const IoStatus end = pending.script.end;
    block->pending = false;
    m_pending.erase(it);
    return end;
}

bool FakeCommDriver::CreateThread(std::function<void()> body, std::thread& thread) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Log("CreateThread");
        if (m_failThread) {
            return false;
        }
    }
    // Hold the caller until the new thread runs, so a body that looks at shared state before
    // its starter has stored it shows up as a failure rather than passing by luck.
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto wrapped = [started, body = std::move(body)] {
        started->store(true, std::memory_order_release);
        body();
    };
    if (!CommDriver::CreateThread(std::move(wrapped), thread)) {
        return false;
    }
    for (int i = 0; i < 100 && !started->load(std::memory_order_acquire); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void FakeCommDriver::Sleep(std::uint32_t milliseconds) {
    std::function<void(std::uint32_t)> hook;
    std::uint32_t slept;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Log("Sleep " + std::to_string(milliseconds));
        m_sleeps.push_back(milliseconds);
        slept = m_slept += milliseconds;
        hook = m_sleepHook;
    }
    if (hook) {
        hook(slept);
    }
    // No real pause, but leave the core to whoever is being waited for.
    std::this_thread::yield();
}

std::time_t FakeCommDriver::Time() {
    std::function<std::time_t()> clock;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_clock) {
            const std::time_t now = m_now;
            m_now += m_step;
            return now;
        }
        clock = m_clock;
    }
    return clock();
}

void FakeCommDriver::OutputDebugString(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Log("OutputDebugString");
    m_debug.emplace_back(text);
}

}  // namespace countryset::testing
