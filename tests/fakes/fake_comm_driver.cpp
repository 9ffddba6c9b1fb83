#include "fakes/fake_comm_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace countryset::testing {

namespace {
constexpr std::uint32_t kSleepLimitMilliseconds = 3'600'000;
// Pauses cost no time, so a thread that is being waited for may not have run at all while an hour
// of them passed on a busy machine: past that hour each pause takes real time, and only a wait
// that also lasts this long is a hang.
constexpr auto kHangAfter = std::chrono::seconds(60);
}  // namespace

void FakeCommDriver::SetPortExists(const std::string& name, bool exists) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (exists) {
        m_missingPorts.erase(name);
    } else {
        m_missingPorts.insert(name);
    }
}

void FakeCommDriver::SetOpenError(const std::string& name, PortOpenError error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (error.problem == PortProblem::None) {
        m_openErrors.erase(name);
    } else {
        m_openErrors[name] = std::move(error);
    }
}

PortOpenError FakeCommDriver::LastOpenError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastOpenError;
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

void FakeCommDriver::SetTickClock(std::function<std::uint64_t()> milliseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock = std::move(milliseconds);
}

void FakeCommDriver::SetClock(std::function<std::time_t()> seconds) {
    SetTickClock(
        [seconds = std::move(seconds)] { return static_cast<std::uint64_t>(seconds()) * 1000; });
}

std::vector<std::string> FakeCommDriver::Calls(const std::set<std::string>& names) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> picked;
    for (const auto& call : m_calls) {
        if (names.empty() || names.count(call.substr(0, call.find(' '))) != 0) {
            picked.push_back(call);
        }
    }
    return picked;
}

void FakeCommDriver::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

std::size_t FakeCommDriver::QueuedIncoming() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_incoming.size();
}

std::string FakeCommDriver::Written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
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

int FakeCommDriver::OpenPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return CountOpen(HandleKind::Port);
}

int FakeCommDriver::OpenEvents() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return CountOpen(HandleKind::Event);
}

int FakeCommDriver::CountOpen(HandleKind kind) const {
    return static_cast<int>(std::count_if(
        m_open.begin(), m_open.end(), [kind](const auto& entry) { return entry.second == kind; }));
}

bool FakeCommDriver::LoggedOpenPort(std::string entry, CommHandle port) {
    m_calls.push_back(std::move(entry));
    auto it = m_open.find(port);
    return it != m_open.end() && it->second == HandleKind::Port;
}

std::uint32_t FakeCommDriver::MoveIncoming(void* dest, std::uint32_t count) {
    const auto moved = static_cast<std::uint32_t>(std::min<std::size_t>(count, m_incoming.size()));
    std::copy_n(m_incoming.begin(), moved, static_cast<char*>(dest));
    m_incoming.erase(m_incoming.begin(), m_incoming.begin() + moved);
    return moved;
}

TransferScript FakeCommDriver::NextScript(std::deque<TransferScript>& scripts) {
    TransferScript script;
    if (!scripts.empty()) {
        script = scripts.front();
        scripts.pop_front();
    }
    return script;
}

CommHandle FakeCommDriver::CreateFile(std::string_view portName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back("CreateFile " + std::string(portName));
    m_lastOpenError = PortOpenError{};
    if (m_missingPorts.count(std::string(portName)) != 0) {
        m_lastOpenError.problem = PortProblem::NoSuchDevice;
        m_lastOpenError.device = std::string(portName);
        return kInvalidHandleValue;
    }
    if (auto found = m_openErrors.find(std::string(portName)); found != m_openErrors.end()) {
        m_lastOpenError = found->second;
        return kInvalidHandleValue;
    }
    m_open[m_nextHandle] = HandleKind::Port;
    return m_nextHandle++;
}

bool FakeCommDriver::CloseHandle(CommHandle handle) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_open.find(handle);
        if (it == m_open.end()) {
            m_calls.push_back("CloseHandle bad");
            return false;
        }
        m_calls.push_back(it->second == HandleKind::Port ? "CloseHandle port"
                                                         : "CloseHandle event");
        m_open.erase(it);
    }
    m_changed.notify_all();
    return true;
}

CommHandle FakeCommDriver::CreateEvent() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failingEvents.count(++m_eventCalls) != 0) {
        m_calls.push_back("CreateEvent failed");
        return kNullHandle;
    }
    m_calls.push_back("CreateEvent");
    m_open[m_nextHandle] = HandleKind::Event;
    return m_nextHandle++;
}

bool FakeCommDriver::SetCommMask(CommHandle port, std::uint32_t mask) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!LoggedOpenPort("SetCommMask " + std::to_string(mask), port)) {
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
    bool open = LoggedOpenPort("WaitCommEvent", port);
    *events = 0;
    while (open) {
        if ((m_mask & kEvRxChar) != 0 && !m_incoming.empty()) {
            m_maskChangesSeen = m_maskChanges;
            *events = kEvRxChar;
            return true;
        }
        // A mask change since the last wait returned counts even when it came before this
        // wait began: no lost wake-up.
        if (m_maskChanges != m_maskChangesSeen) {
            m_maskChangesSeen = m_maskChanges;
            return true;
        }
        m_changed.wait(lock);
        open = m_open.count(port) != 0;  // handles are never reused
    }
    return false;
}

bool FakeCommDriver::SetupComm(CommHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return LoggedOpenPort("SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue),
                          port);
}

bool FakeCommDriver::PurgeComm(CommHandle port, std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!LoggedOpenPort("PurgeComm " + std::to_string(flags), port)) {
        return false;
    }
    if ((flags & kPurgeRxClear) != 0) {
        m_incoming.clear();
    }
    return true;
}

bool FakeCommDriver::SetCommTimeouts(CommHandle port, const CommTimeouts& t) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string entry = "SetCommTimeouts";
    for (std::uint32_t value :
         {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}) {
        entry += " " + std::to_string(value);
    }
    if (!LoggedOpenPort(std::move(entry), port)) {
        return false;
    }
    m_timeouts = t;
    return true;
}

bool FakeCommDriver::GetCommState(CommHandle port, DCB* dcb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!LoggedOpenPort("GetCommState " + std::to_string(dcb->DCBlength), port)) {
        return false;
    }
    // What another program might leave in a port: every field differs from what the port
    // logic sets, so a field it fails to set shows.
    const std::uint32_t length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;
    dcb->BaudRate = 9600;
    dcb->ByteSize = 7;
    dcb->Parity = kEvenParity;
    dcb->StopBits = kTwoStopBits;
    dcb->fOutxCtsFlow = 1;
    dcb->fOutxDsrFlow = 1;
    dcb->fDtrControl = kDtrControlHandshake;
    dcb->fRtsControl = kRtsControlHandshake;
    dcb->fDsrSensitivity = 1;
    dcb->fTXContinueOnXoff = 0;
    dcb->fOutX = 1;
    dcb->fInX = 1;
    dcb->fErrorChar = 1;
    dcb->fNull = 1;
    dcb->fAbortOnError = 1;
    dcb->ErrorChar = '?';
    dcb->EofChar = 0x1a;
    dcb->EvtChar = '\n';
    dcb->XonLim = 2048;
    dcb->XoffLim = 512;
    dcb->XonChar = 0x13;
    dcb->XoffChar = 0x11;
    dcb->fDummy2 = 5;
    dcb->wReserved = 7;
    dcb->wReserved1 = 9;
    return true;
}

bool FakeCommDriver::SetCommState(CommHandle port, const DCB& dcb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!LoggedOpenPort("SetCommState", port) || m_refuseSettings) {
        return false;
    }
    m_dcb = dcb;
    return true;
}

bool FakeCommDriver::EscapeCommFunction(CommHandle port, std::uint32_t function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return LoggedOpenPort("EscapeCommFunction " + std::to_string(function), port);
}

bool FakeCommDriver::ClearCommError(CommHandle port, std::uint32_t* queuedIn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    *queuedIn = static_cast<std::uint32_t>(m_incoming.size());
    return LoggedOpenPort("ClearCommError", port);
}

IoStatus FakeCommDriver::ReadFile(CommHandle port, void* dest, std::uint32_t count,
                                  std::uint32_t* done, OverlappedBlock* block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool open = LoggedOpenPort("ReadFile " + std::to_string(count), port);
    const TransferScript script = NextScript(m_readScripts);
    *done = 0;
    if (!open || script.start == IoStatus::Failed) {
        return IoStatus::Failed;
    }
    if (script.start == IoStatus::Pending) {
        block->buffer = dest;
        block->requested = count;
        block->isWrite = false;
        m_pending[block] = {script, script.incompleteReports};
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
    IoStatus status = IoStatus::Finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool open = LoggedOpenPort("WriteFile " + std::to_string(count), port);
        const TransferScript script = NextScript(m_writeScripts);
        *done = 0;
        if (!open) {
            return IoStatus::Failed;
        }
        if (script.start == IoStatus::Failed) {
            // Failed partway where it reports bytes moved, refused at once otherwise.
            *done = std::min(count, script.reported.value_or(0));
            m_written.append(static_cast<const char*>(src), *done);
            return IoStatus::Failed;
        }
        sent.assign(static_cast<const char*>(src),
                    std::min(count, script.reported.value_or(count)));
        m_written += sent;
        if (script.start == IoStatus::Pending) {
            block->requested = count;
            block->isWrite = true;
            m_pending[block] = {script, script.incompleteReports};
            status = IoStatus::Pending;
        } else {
            *done = script.reported.value_or(count);
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
    m_calls.push_back(std::string("GetOverlappedResult ") + (block->isWrite ? "write" : "read"));
    auto it = m_pending.find(block);
    if (it == m_pending.end()) {
        return IoStatus::Failed;
    }
    auto& [script, incompleteLeft] = it->second;
    if (incompleteLeft > 0) {
        --incompleteLeft;
        return IoStatus::Incomplete;
    }
    const std::uint32_t moved =
        block->isWrite ? block->requested : MoveIncoming(block->buffer, block->requested);
    *done = script.reported.value_or(moved);
    const IoStatus end = script.end;
    m_pending.erase(it);
    return end;
}

bool FakeCommDriver::CreateThread(std::function<void()> body, std::thread& thread) {
    bool fail;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("CreateThread");
        fail = m_failThread;
    }
    if (fail) {
        // As a driver may: the thread starts all the same; the caller must not leave it waiting.
        CommDriver::CreateThread(std::move(body), thread);
        return false;
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
        m_calls.push_back("Sleep " + std::to_string(milliseconds));
        slept = m_slept += milliseconds;
        hook = m_sleepHook;
    }
    if (hook) {
        hook(slept);
    }
    // A watcher that never ends would hold ClosePort for ever: fail loudly instead of hanging.
    if (slept > kSleepLimitMilliseconds) {
        if (std::chrono::steady_clock::now() - m_created > kHangAfter) {
            std::fprintf(stderr, "FakeCommDriver: more than an hour of pauses; giving up\n");
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    // No real pause, but leave the core to whoever is being waited for.
    std::this_thread::yield();
}

std::uint64_t FakeCommDriver::GetTickCount64() {
    std::function<std::uint64_t()> clock;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        clock = m_clock;
    }
    return clock ? clock() : CommDriver::GetTickCount64();
}

void FakeCommDriver::OutputDebugString(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back("OutputDebugString " + std::string(text));
}

}  // namespace countryset::testing
