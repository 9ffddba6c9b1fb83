// How the process meets the events that end it while it may hold a port. Ctrl+C, Ctrl+Break
// and closing the console window come as console events; logoff and shutdown, to a program that
// uses windows, come only as messages to its top-level windows, which a hidden window of its
// own takes. Each runs the release it was given (which puts the ports back as found); the
// system's own handling then ends the process as it would have, so scripts see the usual status.
#pragma once

#include <functional>

namespace countryset {

class ProcessSignals {
public:
    // One at a time. A process started with Ctrl+C ignored keeps ignoring it.
    explicit ProcessSignals(std::function<void()> release);
    // Stops taking the events; one that comes afterwards ends the process as it would have.
    ~ProcessSignals();
    ProcessSignals(const ProcessSignals&) = delete;
    ProcessSignals& operator=(const ProcessSignals&) = delete;

private:
    std::function<void()> m_release;
    bool m_installed = false;
};

// Attaching or making a console empties the table of its control handlers: called after a
// console is attached, this puts back the handler of the ProcessSignals that is taking events.
void RenewConsoleControlHandler();

}  // namespace countryset
