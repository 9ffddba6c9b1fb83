#include "serial/process_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

namespace countryset {

namespace {

constexpr int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

class ProcessSignals::System {
public:
    explicit System(std::function<void()> release);
    ~System();

private:
    void Watch();
    [[noreturn]] static void EndAs(int signal);

    std::function<void()> m_release;
    sigset_t m_previousMask{};
    int m_signals = -1;
    int m_stop = -1;
    std::thread m_thread;
};

ProcessSignals::ProcessSignals(std::function<void()> release)
    : m_system(std::make_unique<System>(std::move(release))) {}

ProcessSignals::~ProcessSignals() = default;

ProcessSignals::System::System(std::function<void()> release) : m_release(std::move(release)) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    sigset_t taken;
    sigemptyset(&taken);
    for (int signal : kEnding) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&taken, signal);
        }
    }
    ::pthread_sigmask(SIG_BLOCK, &taken, &m_previousMask);
    m_signals = ::signalfd(-1, &taken, SFD_CLOEXEC);
    m_stop = ::eventfd(0, EFD_CLOEXEC);
    if (m_signals >= 0 && m_stop >= 0) {
        try {
            m_thread = std::thread([this] { Watch(); });
            return;
        } catch (...) {
        }
    }
    // Without a watching thread the signals keep their plain effect.
    ::pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

ProcessSignals::System::~System() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(m_stop, &one, sizeof one);
        (void)ignored;
        m_thread.join();
    }
    if (m_signals >= 0) {
        ::close(m_signals);
    }
    if (m_stop >= 0) {
        ::close(m_stop);
    }
    ::pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

void ProcessSignals::System::Watch() {
    for (;;) {
        pollfd entries[2] = {{m_signals, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (entries[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        if (::read(m_signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            m_release();
            EndAs(static_cast<int>(info.ssi_signo));
        }
    }
}

void ProcessSignals::System::EndAs(int signal) {
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    ::sigaction(signal, &plain, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    // Unblocked in this thread only, so the signal raised here is delivered here, now.
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

}  // namespace countryset
