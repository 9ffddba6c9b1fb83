// How the process meets the console's control events while it may hold a port. Ctrl+C,
// Ctrl+Break, closing the console window, logoff and shutdown run the release it was given
// (which puts the ports back as found); the system's own handling then ends the process as it
// would have, so scripts see the usual status.
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

}  // namespace countryset
