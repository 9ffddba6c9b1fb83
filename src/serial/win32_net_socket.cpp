// TCP connections on Windows: Winsock, started once for the process; getaddrinfo on a thread
// of its own (so a slow name server cannot outlast the deadline), a non-blocking connect per
// address, and a wait on the socket's event beside an event that another thread can set.
// Winsock before the rest of the system's headers, which would otherwise bring the old one.
#include <winsock2.h>
#include <ws2tcpip.h>
// (after Winsock)
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "serial/net_socket.h"

namespace countryset {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

ConnectProblem ProblemOfError(int error) {
    switch (error) {
        case WSAECONNREFUSED:
            return ConnectProblem::Refused;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEHOSTDOWN:
        case WSAEADDRNOTAVAIL:
            return ConnectProblem::Unreachable;
        case WSAETIMEDOUT:
            return ConnectProblem::TimedOut;
        default:
            return ConnectProblem::Other;
    }
}

std::string ErrorText(int error) {
    char text[256] = {};
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == '.')) {
        s.pop_back();
    }
    return s.empty() ? "error " + std::to_string(error) : s;
}

class Win32NetSocket : public NetSocket {
public:
    Win32NetSocket(SOCKET socket, WSAEVENT readable, HANDLE wake)
        : m_socket(socket), m_readable(readable), m_wake(wake) {}
    ~Win32NetSocket() override {
        ::closesocket(m_socket);
        ::WSACloseEvent(m_readable);
        ::CloseHandle(m_wake);
    }
    Win32NetSocket(const Win32NetSocket&) = delete;
    Win32NetSocket& operator=(const Win32NetSocket&) = delete;

    long Send(std::span<const std::uint8_t> bytes, int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 65536));
            const int n =
                ::send(m_socket, reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) {
                return -1;
            }
            const int left = MillisecondsLeft(deadline);
            if (left == 0) {
                break;
            }
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(m_socket, &writable);
            timeval limit{left / 1000, (left % 1000) * 1000};
            if (::select(0, nullptr, &writable, nullptr, &limit) == SOCKET_ERROR) {
                return -1;
            }
        }
        return static_cast<long>(sent);
    }

    long ReceiveSome(std::uint8_t* dest, std::size_t capacity) override {
        const int want = static_cast<int>(std::min<std::size_t>(capacity, 65536));
        const int n = ::recv(m_socket, reinterpret_cast<char*>(dest), want, 0);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            return want == 0 ? 0 : -1;  // the server closed
        }
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }

    Wait WaitReadable(int timeoutMs) override {
        // The socket's event is reset by the wait below and set again by the next recv that
        // leaves bytes behind, so a ready socket is checked before waiting.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval now{0, 0};
        if (::select(0, &readable, nullptr, nullptr, &now) > 0) {
            return Wait::Readable;
        }
        HANDLE events[2] = {m_readable, m_wake};
        const DWORD result = ::WaitForMultipleObjects(
            2, events, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        if (result == WAIT_OBJECT_0 + 1) {
            return Wait::Woken;  // an auto-reset event: consumed by this wait
        }
        if (result == WAIT_OBJECT_0) {
            WSANETWORKEVENTS happened;
            ::WSAEnumNetworkEvents(m_socket, m_readable, &happened);
            return Wait::Readable;
        }
        return Wait::TimedOut;
    }

    Wait WaitWake(int timeoutMs) override {
        const DWORD result =
            ::WaitForSingleObject(m_wake, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return result == WAIT_OBJECT_0 ? Wait::Woken : Wait::TimedOut;
    }

    void Wake() override { ::SetEvent(m_wake); }

    void Shutdown() override { ::shutdown(m_socket, SD_BOTH); }

private:
    const SOCKET m_socket;
    const WSAEVENT m_readable;
    const HANDLE m_wake;
};

// One address: a connected, non-blocking socket, or INVALID_SOCKET with error set.
SOCKET ConnectOne(const addrinfo& address, Clock::time_point deadline, int& error) {
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) {
        return s;
    }
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        error = ::WSAGetLastError();
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    const int left = MillisecondsLeft(deadline);
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{left / 1000, (left % 1000) * 1000};
    const int result = ::select(0, nullptr, &writable, &failed, &limit);
    if (result <= 0) {
        error = result == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    int soError = 0;
    int length = sizeof soError;
    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
    if (FD_ISSET(s, &failed) || soError != 0) {
        error = soError != 0 ? soError : WSAECONNREFUSED;
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

ConnectResult ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ConnectResult result;
    if (!StartWinsock()) {
        result.problem = ConnectProblem::Other;
        result.detail = "Winsock could not be started";
        return result;
    }

    // The look-up's thread owns its results; one that outlives the deadline frees them itself.
    struct LookUp {
        std::mutex mutex;
        addrinfo* addresses = nullptr;
        int status = WSATRY_AGAIN;
        ~LookUp() {
            if (addresses != nullptr) {
                ::freeaddrinfo(addresses);
            }
        }
    };
    auto lookUp = std::make_shared<LookUp>();
    const std::string service = std::to_string(port);
    const bool inTime = RunWithin(
        [lookUp, host, service] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            std::lock_guard lock(lookUp->mutex);
            lookUp->status = status;
            lookUp->addresses = found;
        },
        timeoutMs);
    if (!inTime) {
        result.problem = ConnectProblem::TimedOut;
        return result;
    }
    std::lock_guard lock(lookUp->mutex);
    if (lookUp->status != 0 || lookUp->addresses == nullptr) {
        if (lookUp->status == WSA_NOT_ENOUGH_MEMORY || lookUp->status == WSANOTINITIALISED) {
            result.problem = ConnectProblem::Other;
            result.detail = ErrorText(lookUp->status);
        } else {
            result.problem = ConnectProblem::NameNotFound;
        }
        return result;
    }
    int error = WSAETIMEDOUT;
    for (const addrinfo* a = lookUp->addresses; a != nullptr; a = a->ai_next) {
        const SOCKET s = ConnectOne(*a, deadline, error);
        if (s != INVALID_SOCKET) {
            WSAEVENT readable = ::WSACreateEvent();
            HANDLE wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
            if (readable == WSA_INVALID_EVENT || wake == nullptr ||
                ::WSAEventSelect(s, readable, FD_READ | FD_CLOSE) != 0) {
                error = ::WSAGetLastError();
                if (readable != WSA_INVALID_EVENT) {
                    ::WSACloseEvent(readable);
                }
                if (wake != nullptr) {
                    ::CloseHandle(wake);
                }
                ::closesocket(s);
                break;
            }
            // Commands are a few bytes each and wait for their answer: send them at once.
            BOOL on = TRUE;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on);
            // Every segment acknowledged at once: a server that leaves Nagle's algorithm on
            // holds its next small segment until then, some 40 ms against a delayed
            // acknowledgement. A system without the control keeps its usual delay.
            TCP_ACK_FREQUENCY_PARAMETERS every{1};
            DWORD returned = 0;
            ::WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &every, sizeof every, nullptr, 0, &returned,
                       nullptr, nullptr);
            result.socket = std::make_unique<Win32NetSocket>(s, readable, wake);
            return result;
        }
        if (MillisecondsLeft(deadline) == 0) {
            break;
        }
    }
    result.problem = ProblemOfError(error);
    if (result.problem == ConnectProblem::Other) {
        result.detail = ErrorText(error);
    }
    return result;
}

}  // namespace countryset
