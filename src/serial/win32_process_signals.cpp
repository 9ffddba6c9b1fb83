#include "serial/process_signals.h"
#include "serial/win32_console_control.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <future>
#include <mutex>
#include <system_error>
#include <thread>

namespace countryset {

namespace {

// The system calls the handler on a thread of its own, possibly while the owner goes away.
std::mutex g_mutex;
const std::function<void()>* g_release = nullptr;

void RunRelease() {
    std::lock_guard lock(g_mutex);
    if (g_release != nullptr) {
        (*g_release)();
    }
}

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
    RunRelease();
    // Not handled: the next handler, the system's, ends the process with the usual status.
    return FALSE;
}

constexpr const wchar_t* kSessionWindowClass = L"countryset-session-end";
constexpr UINT kStopMessage = WM_APP + 1;

LRESULT CALLBACK SessionWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;  // the session may end; the ports are released when it does
        case WM_ENDSESSION:
            if (wParam != FALSE) {
                RunRelease();
            }
            return 0;
        case kStopMessage:
            ::DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// The hidden top-level window and the thread that takes its messages; none where the session
// cannot make windows (a service without a desktop gets console events instead).
struct SessionWindow {
    std::thread thread;
    HWND hwnd = nullptr;
};
SessionWindow g_session;

void StartSessionWindow() {
    std::promise<HWND> made;
    std::future<HWND> window = made.get_future();
    g_session.thread = std::thread([&made] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = SessionWindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kSessionWindowClass;
        ::RegisterClassW(&windowClass);
        const HWND hwnd = ::CreateWindowExW(0, kSessionWindowClass, L"", WS_POPUP, 0, 0, 0, 0,
                                            nullptr, nullptr, windowClass.hInstance, nullptr);
        made.set_value(hwnd);
        if (hwnd == nullptr) {
            return;
        }
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
    });
    g_session.hwnd = window.get();
}

void StopSessionWindow() {
    if (g_session.hwnd != nullptr) {
        ::PostMessageW(g_session.hwnd, kStopMessage, 0, 0);
    }
    if (g_session.thread.joinable()) {
        g_session.thread.join();
    }
    g_session.hwnd = nullptr;
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
    {
        std::lock_guard lock(g_mutex);
        if (g_release == nullptr && m_release && ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
            g_release = &m_release;
            m_installed = true;
        }
    }
    if (m_installed) {
        try {
            StartSessionWindow();
        } catch (const std::system_error&) {
            // No thread: console events still release the ports.
        }
    }
}

void RenewConsoleControlHandler() {
    std::lock_guard lock(g_mutex);
    if (g_release != nullptr) {
        // Taken out first, in case it is still there: it is then in the table once.
        ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
}

ProcessSignals::System::~System() {
    if (!m_installed) {
        return;
    }
    StopSessionWindow();
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    // Waits for a handler that is running to finish its release.
    std::lock_guard lock(g_mutex);
    g_release = nullptr;
}

}  // namespace countryset
