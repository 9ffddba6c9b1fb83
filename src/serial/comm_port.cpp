#include "serial/comm_port.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "serial/dut_watcher.h"

namespace countryset {

namespace {

std::unique_ptr<PortState> AllocateState() {
    return std::unique_ptr<PortState>(new (std::nothrow) PortState{});
}

}  // namespace

CCommPort::CCommPort(CommDriver& driver, MessageBoxes& messages)
    : m_driver(driver), m_messages(messages), m_allocate(AllocateState) {}

CCommPort::~CCommPort() {
    if (m_state) {
        // A watcher still at work holds the port and the driver; it must be gone first.
        if (m_state->fRunning.load(std::memory_order_acquire) != 0 ||
            m_state->dwWatcherId.load(std::memory_order_acquire) != 0) {
            // At program end nobody needs the 100 ms polls: the watcher's own end is awaited.
            StopPort(false);
        }
    }
    JoinEndedWatcher();
    if (m_state) {
        m_driver.CloseHandle(m_state->osRead.hEvent);
        m_driver.CloseHandle(m_state->osWrite.hEvent);
    }
}

bool CCommPort::CreatePortState() {
    m_state = m_allocate ? m_allocate() : nullptr;
    if (!m_state) {
        return false;
    }
    PortState& s = *m_state;
    s.hPort = kNullHandle;
    s.fRunning.store(0, std::memory_order_relaxed);
    s.wPortNumber = 1;
    s.byParity = kNoParity;
    s.byByteSize = kDefaultByteSize;
    s.byStopBits = kOneStopBit;
    s.dwBaudRate = kDefaultBaudRate;

    s.osRead.hEvent = m_driver.CreateEvent();
    if (s.osRead.hEvent == kNullHandle) {
        m_state.reset();
        return false;
    }
    s.osWrite.hEvent = m_driver.CreateEvent();
    if (s.osWrite.hEvent == kNullHandle) {
        m_driver.CloseHandle(s.osRead.hEvent);
        m_state.reset();
        return false;
    }
    return true;
}

bool CCommPort::OpenPort() {
    if (!m_state) {
        return false;
    }
    PortState& s = *m_state;
    char name[12];
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(s.wPortNumber));
    m_openProblem = PortOpenError{};
    s.hPort = m_driver.CreateFile(name);
    if (s.hPort == kInvalidHandleValue) {
        m_openProblem = m_driver.LastOpenError();
        if (m_openProblem.problem == PortProblem::None) {
            m_openProblem.problem = PortProblem::Other;
            m_openProblem.device = name;
        }
        return false;
    }
    m_driver.SetCommMask(s.hPort, kEvRxChar);
    m_driver.SetupComm(s.hPort, kQueueSize, kQueueSize);
    m_driver.PurgeComm(s.hPort, kPurgeAll);
    CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = kMaxDword;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    m_driver.SetCommTimeouts(s.hPort, timeouts);
    if (!ConfigurePort()) {
        m_driver.CloseHandle(s.hPort);
        m_openProblem = PortOpenError{PortProblem::SettingsRefused, name, {}, {}, {}};
        return false;
    }
    return true;
}

DCB RunLineSettings(const PortState& s) {
    DCB dcb;  // every field not named here zero
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.dwBaudRate;
    dcb.ByteSize = s.byByteSize;
    dcb.Parity = s.byParity;
    dcb.StopBits = s.byStopBits;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    // No flow control: DTR and RTS are simply raised while the port is open.
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = kDtrControlEnable;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = kRtsControlEnable;
    // No software flow control, no byte replaced or dropped, no I/O stopped by a line error.
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x07;
    return dcb;
}

bool CCommPort::ConfigurePort() {
    if (!m_state) {
        return false;
    }
    const PortState& s = *m_state;
    // What the port holds is read, as a driver may want to be asked first, and none of it kept.
    DCB found;
    found.DCBlength = sizeof(DCB);
    m_driver.GetCommState(s.hPort, &found);
    return m_driver.SetCommState(s.hPort, RunLineSettings(s));
}

void CCommPort::ClosePort() {
    StopPort(true);
}

void CCommPort::StopPort(bool pollForWatcher) {
    if (!m_state) {
        return;
    }
    PortState& s = *m_state;
    s.fRunning.store(0, std::memory_order_release);
    // A changed mask releases the watcher's wait, so it sees the cleared flag.
    m_driver.SetCommMask(s.hPort, 0);
    if (!pollForWatcher && m_watcher.joinable()) {
        m_watcher.join();
    }
    while (s.dwWatcherId.load(std::memory_order_acquire) != 0) {
        m_driver.Sleep(kClosePollMilliseconds);
    }
    JoinEndedWatcher();
    m_driver.EscapeCommFunction(s.hPort, kClrDtr);
    m_driver.PurgeComm(s.hPort, kPurgeAll);
    m_driver.CloseHandle(s.hPort);
}

bool CCommPort::WriteBlock(const void* bytes, std::uint32_t count) {
    if (!m_state) {
        return false;
    }
    PortState& s = *m_state;
    std::uint32_t written = 0;
    bool failed = false;
    const IoStatus started = m_driver.WriteFile(s.hPort, bytes, count, &written, &s.osWrite);
    if (started == IoStatus::Failed) {
        std::uint32_t queued = 0;
        m_driver.ClearCommError(s.hPort, &queued);
        return false;
    }
    if (started == IoStatus::Pending) {
        IoStatus result;
        do {
            result = m_driver.GetOverlappedResult(s.hPort, &s.osWrite, &written, true);
        } while (result == IoStatus::Incomplete);
        if (result == IoStatus::Failed) {
            std::uint32_t queued = 0;
            m_driver.ClearCommError(s.hPort, &queued);
            failed = true;
        }
    }
    if (written != count) {
        m_messages.AfxMessageBox(std::to_string(static_cast<std::int32_t>(written)));
        return false;
    }
    // A write that moved every byte yet ended in an error is still a failed write.
    return !failed;
}

std::uint32_t CCommPort::ReadAvailable(void* dest, std::uint32_t maxCount) {
    if (!m_state) {
        return 0;
    }
    PortState& s = *m_state;
    std::uint32_t queued = 0;
    m_driver.ClearCommError(s.hPort, &queued);
    const std::uint32_t wanted = std::min(queued, maxCount);
    if (wanted == 0) {
        return 0;
    }
    std::uint32_t got = 0;
    const IoStatus started = m_driver.ReadFile(s.hPort, dest, wanted, &got, &s.osRead);
    if (started == IoStatus::Pending) {
        m_driver.OutputDebugString("\n\rIO PENDING");
        IoStatus result;
        do {
            result = m_driver.GetOverlappedResult(s.hPort, &s.osRead, &got, true);
        } while (result == IoStatus::Incomplete);
        if (result == IoStatus::Failed) {
            m_driver.ClearCommError(s.hPort, &queued);
        }
    } else if (started == IoStatus::Failed) {
        m_driver.ClearCommError(s.hPort, &queued);
        return 0;
    }
    // Callers size their buffers by what they asked for; never report more than that.
    return std::min(got, wanted);
}

bool CCommPort::StartWatcher(ReceiveRing& ring) {
    if (!m_state || m_state->dwWatcherId.load(std::memory_order_acquire) != 0) {
        return false;
    }
    JoinEndedWatcher();
    m_watcherGo.store(kWatcherWait, std::memory_order_relaxed);
    auto body = [this, &ring] {
        m_watcherGo.wait(kWatcherWait, std::memory_order_acquire);
        if (m_watcherGo.load(std::memory_order_acquire) == kWatcherGo) {
            DutWatcher(*this, ring);
        }
    };
    if (!m_driver.CreateThread(body, m_watcher)) {
        // A driver that started the thread after all must not leave it waiting for ever.
        m_watcherGo.store(kWatcherCancel, std::memory_order_release);
        m_watcherGo.notify_one();
        JoinEndedWatcher();
        return false;
    }
    if (++m_lastWatcherId == 0) {
        m_lastWatcherId = 1;
    }
    PortState& s = *m_state;
    s.fRunning.store(1, std::memory_order_release);
    s.dwWatcherId.store(m_lastWatcherId, std::memory_order_release);
    m_watcherGo.store(kWatcherGo, std::memory_order_release);
    m_watcherGo.notify_one();
    return true;
}

void CCommPort::JoinEndedWatcher() {
    // Only called once the identity is clear: the thread is past its last use of the port.
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
}

}  // namespace countryset
