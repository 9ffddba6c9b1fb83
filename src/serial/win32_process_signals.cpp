#include "serial/process_signals.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <mutex>

namespace countryset {

namespace {

// The system calls the handler on a thread of its own, possibly while the owner goes away.
std::mutex g_mutex;
const std::function<void()>* g_release = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    {
        std::lock_guard lock(g_mutex);
        if (g_release != nullptr) {
            (*g_release)();
        }
    }
    // Not handled: the next handler, the system's, ends the process with the usual status.
    return FALSE;
}

}  // namespace

class ProcessSignals::System {
public:
    explicit System(std::function<void()> release);
    ~System();

private:
    std::function<void()> m_release;
    bool m_installed = false;
};

ProcessSignals::ProcessSignals(std::function<void()> release)
    : m_system(std::make_unique<System>(std::move(release))) {}

ProcessSignals::~ProcessSignals() = default;

ProcessSignals::System::System(std::function<void()> release) : m_release(std::move(release)) {
    std::lock_guard lock(g_mutex);
    if (g_release == nullptr && m_release && ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        g_release = &m_release;
        m_installed = true;
    }
}

ProcessSignals::System::~System() {
    if (!m_installed) {
        return;
    }
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    // Waits for a handler that is running to finish its release.
    std::lock_guard lock(g_mutex);
    g_release = nullptr;
}

}  // namespace countryset
