// TCP connections on POSIX systems: getaddrinfo on a thread of its own (so a slow name server
// cannot outlast the deadline), a non-blocking connect per address, poll with an eventfd that
// lets another thread end a wait.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
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

// Acknowledges what arrives at once rather than after the usual delay. A server that leaves
// Nagle's algorithm on holds its next small segment (the rest of a reply, a confirmation)
// until the last one is acknowledged, which a delayed acknowledgement turns into some 40 ms per
// exchange. The system clears the flag again as it sees fit, so it is set after every read.
void AckAtOnce(int fd) {
#ifdef TCP_QUICKACK
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)fd;
#endif
}

ConnectProblem ProblemOfErrno(int error) {
    switch (error) {
        case ECONNREFUSED:
            return ConnectProblem::Refused;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN:
        case EADDRNOTAVAIL:
            return ConnectProblem::Unreachable;
        case ETIMEDOUT:
            return ConnectProblem::TimedOut;
        default:
            return ConnectProblem::Other;
    }
}

class PosixNetSocket : public NetSocket {
public:
    PosixNetSocket(int fd, int wake) : m_fd(fd), m_wake(wake) {}
    ~PosixNetSocket() override {
        ::close(m_wake);
        ::close(m_fd);
    }
    PosixNetSocket(const PosixNetSocket&) = delete;
    PosixNetSocket& operator=(const PosixNetSocket&) = delete;

    long Send(std::span<const std::uint8_t> bytes, int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return -1;
            }
            pollfd entry{m_fd, POLLOUT, 0};
            const int left = MillisecondsLeft(deadline);
            if (left == 0 || (::poll(&entry, 1, left) < 0 && errno != EINTR)) {
                break;
            }
        }
        return static_cast<long>(sent);
    }

    long ReceiveSome(std::uint8_t* dest, std::size_t capacity) override {
        for (;;) {
            const ssize_t n = ::recv(m_fd, dest, capacity, MSG_DONTWAIT);
            if (n > 0) {
                AckAtOnce(m_fd);
                return static_cast<long>(n);
            }
            if (n == 0) {
                return capacity == 0 ? 0 : -1;  // the server closed
            }
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }

    Wait WaitReadable(int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pollfd entries[2] = {{m_fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
            const int result = ::poll(entries, 2, timeoutMs < 0 ? -1 : MillisecondsLeft(deadline));
            if (result < 0 && errno == EINTR) {
                continue;
            }
            if (result > 0 && (entries[1].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                ssize_t ignored = ::read(m_wake, &count, sizeof count);
                (void)ignored;
                return Wait::Woken;
            }
            if (result > 0) {
                return Wait::Readable;  // input, or the close or error that the read will see
            }
            return Wait::TimedOut;
        }
    }

    void Shutdown() override { ::shutdown(m_fd, SHUT_RDWR); }

    Wait WaitWake(int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pollfd entry{m_wake, POLLIN, 0};
            const int result = ::poll(&entry, 1, timeoutMs < 0 ? -1 : MillisecondsLeft(deadline));
            if (result < 0 && errno == EINTR) {
                continue;
            }
            if (result > 0) {
                std::uint64_t count = 0;
                ssize_t ignored = ::read(m_wake, &count, sizeof count);
                (void)ignored;
                return Wait::Woken;
            }
            return Wait::TimedOut;
        }
    }

    void Wake() override {
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(m_wake, &one, sizeof one);
        (void)ignored;
    }

private:
    const int m_fd;
    const int m_wake;
};

// One address: a connected, non-blocking socket, or -1 with error set.
int ConnectOne(const addrinfo& address, Clock::time_point deadline, int& error) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        return fd;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        error = errno;
        ::close(fd);
        return -1;
    }
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        const int result = ::poll(&entry, 1, MillisecondsLeft(deadline));
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            error = result == 0 ? ETIMEDOUT : errno;
            ::close(fd);
            return -1;
        }
        break;
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) {
        soError = errno;
    }
    if (soError != 0) {
        error = soError;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ConnectResult ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ConnectResult result;

    // The look-up's thread owns its results; one that outlives the deadline frees them itself.
    struct LookUp {
        std::mutex mutex;
        addrinfo* addresses = nullptr;
        int status = EAI_AGAIN;
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
            hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
            addrinfo* found = nullptr;
            const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            std::lock_guard lock(lookUp->mutex);
            lookUp->status = status;
            lookUp->addresses = found;
        },
        timeoutMs);
    std::lock_guard lock(lookUp->mutex);
    if (!inTime) {
        result.problem = ConnectProblem::TimedOut;
        return result;
    }
    if (lookUp->status != 0 || lookUp->addresses == nullptr) {
        if (lookUp->status == EAI_SYSTEM || lookUp->status == EAI_MEMORY) {
            result.problem = ConnectProblem::Other;
            result.detail = ::gai_strerror(lookUp->status);
        } else {
            result.problem = ConnectProblem::NameNotFound;
        }
        return result;
    }
    int error = ETIMEDOUT;
    for (const addrinfo* a = lookUp->addresses; a != nullptr; a = a->ai_next) {
        const int fd = ConnectOne(*a, deadline, error);
        if (fd >= 0) {
            const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (wake < 0) {
                error = errno;
                ::close(fd);
                break;
            }
            // Commands are a few bytes each and wait for their answer: send them at once.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            AckAtOnce(fd);
            result.socket = std::make_unique<PosixNetSocket>(fd, wake);
            return result;
        }
        if (MillisecondsLeft(deadline) == 0) {
            break;
        }
    }
    result.problem = ProblemOfErrno(error);
    if (result.problem == ConnectProblem::Other) {
        result.detail = std::strerror(error);
    }
    return result;
}

}  // namespace countryset
