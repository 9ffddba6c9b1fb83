// How the process meets the requests to end it while it may hold a port: on Linux SIGINT,
// SIGTERM, SIGHUP and SIGQUIT; on Windows the console's Ctrl+C, Ctrl+Break and close events, and
// logoff and shutdown, which reach a program that uses windows only as messages to its top-level
// windows (a hidden one of its own takes them). Each runs the release it was given (which puts the
// ports back as found) and then the process ends as it would have, so shells and scripts see the
// usual status. On Linux no signal handler runs at all: a thread of its own takes the signals
// through a signalfd, and SIGPIPE is ignored so that a closed stdout shows as a failed write
// instead of ending the program with the line left raw. Each system's side is in
// posix_/win32_process_signals.cpp.
#pragma once

#include <functional>
#include <memory>

namespace countryset {

class ProcessSignals {
public:
    // One at a time. Construct before any other thread starts: on Linux the signals are blocked
    // in this thread and so in every thread started later. A signal or event that the process
    // was started with ignored (nohup, a background job) stays ignored.
    explicit ProcessSignals(std::function<void()> release);
    // Stops taking them; one that came meanwhile, or comes later, ends the process as it would
    // have.
    ~ProcessSignals();
    ProcessSignals(const ProcessSignals&) = delete;
    ProcessSignals& operator=(const ProcessSignals&) = delete;

private:
    class System;
    std::unique_ptr<System> m_system;
};

}  // namespace countryset
