// Several ports at once: one job per port, each on a thread of its own, so a slow or silent
// modem holds up only its own port; the results come back in the order of the ports given.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/run_outcome.h"

namespace countryset {

// What one port's job came to: the run's outcome and the exit status a run of that port alone
// would have ended with.
struct PortResult {
    std::string port;
    RunOutcome outcome;
    int status = static_cast<int>(ExitStatus::NotSet);
    // Lines the job kept back for the caller to tell (a problem of the command line, which
    // every port may meet alike), prefixed with the program's name but not the port's.
    std::string heldMessages;
};

using PortJob = std::function<PortResult(const std::string& port)>;

// Runs job once for each port, all at the same time, and returns when every job has ended; the
// results are in the order of ports. A job that throws, or whose thread cannot be had, fails
// its own port only (the latter is then run after the others have started, on this thread).
std::vector<PortResult> RunPorts(const std::vector<std::string>& ports, const PortJob& job);

struct PortTally {
    int set = 0;          // set now
    int alreadySet = 0;   // held the country before; nothing sent
    int wouldChange = 0;  // --check: does not hold it
    int failed = 0;
};
PortTally Tally(const std::vector<PortResult>& results);

// The run's last line on stderr: "3 ports: 1 set, 1 already set, 1 failed (COM3)".
std::string SummaryLine(const std::vector<PortResult>& results);

// The exit status of a run of several ports: 0 when every port ended with 0; 9 when every other
// one ended with 9 (the check found a port to change, and nothing failed); else 8.
int CombinedStatus(const std::vector<PortResult>& results);

}  // namespace countryset
