// A scripted run of several ports at once (--port COM1,COM3, COM1-COM8, --all-ports): each port
// runs the whole job on a thread of its own, with its own port record, ring, watcher, state and
// presenter; their lines on stderr are whole and name their port, and a summary line ends the
// run. The choice is not stored: CurrentSet and CurrentCOM hold one port's choice only.
#pragma once

#include <string>

#include "app/command_line.h"
#include "app/line_output.h"
#include "app/port_runner.h"
#include "app/program_state.h"
#include "serial/comm_driver.h"
#include "serial/trace_comm_driver.h"
#include "settings/private_profile.h"

namespace countryset {

// The exit status a scripted run of one port ends with, for what it came to.
int ExitStatusOf(const RunOutcome& outcome);

struct SeveralPortsRun {
    const CommandLine& commandLine;
    const std::string& executable;
    ProgramState& state;      // the process's: its settings path and device lookup are read
    PrivateProfile& profile;  // read by every port's thread at once: it must take that
    CommDriver& driver;       // shared by the ports' threads
    TraceCommDriver* trace;   // for the notes of a traced run; nullptr when not traced
    LineOutput& errors;       // stderr, whole lines
};

// The run; returns the exit status (0, 8, or 9 under --check; 2 for a usage error every port
// met, such as a country not offered).
int RunSeveralPorts(const SeveralPortsRun& run);

}  // namespace countryset
