// How the process meets signals while it may hold a port. SIGINT, SIGTERM, SIGHUP and SIGQUIT
// are taken by a thread of its own through a signalfd: it runs the release it was given (which
// puts the ports back as found) and then ends the process as the signal would have, so shells
// and scripts see the usual status. No signal handler runs at all. SIGPIPE is ignored: a closed
// stdout shows as a failed write instead of ending the program with the line left raw.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

namespace countryset {

class ProcessSignals {
public:
    // Construct before any other thread starts: the signals are blocked in this thread and so
    // in every thread started later. A signal that the process was started with ignored (nohup,
    // a background job) stays ignored.
    explicit ProcessSignals(std::function<void()> release);
    // Stops taking signals; one that came meanwhile then ends the process as it would have.
    ~ProcessSignals();
    ProcessSignals(const ProcessSignals&) = delete;
    ProcessSignals& operator=(const ProcessSignals&) = delete;

private:
    void Watch();
    [[noreturn]] static void EndAs(int signal);

    std::function<void()> m_release;
    sigset_t m_previousMask{};
    int m_signals = -1;
    int m_stop = -1;
    std::thread m_thread;
};

}  // namespace countryset
