// A scripted run of several ports at once (--port COM1,COM3, COM1-COM8, --all-ports): each port
// runs the whole scripted job on a thread of its own, with its own port record, ring, watcher,
// state and presenter; each port's lines reach stderr whole, together and naming the port, and a
// summary line ends the run. The choice is not stored: CurrentSet and CurrentCOM hold one port's
// choice only.
#pragma once

#include <ostream>
#include <string>

#include "app/command_line.h"
#include "app/line_output.h"
#include "app/program_state.h"
#include "serial/comm_driver.h"
#include "serial/trace_comm_driver.h"
#include "settings/private_profile.h"

namespace countryset {

struct SeveralPortsRun {
    const CommandLine& commandLine;
    const std::string& executable;
    ProgramState& state;      // the process's: its settings path and device lookup are read
    PrivateProfile& profile;  // read by every port's thread at once: it must take that
    CommDriver& driver;       // shared by the ports' threads
    TraceCommDriver* trace;   // for the notes of a traced run; nullptr when not traced
    LineOutput& errors;       // stderr, whole lines
    std::ostream& out;        // stdout, for --json: one object a port, in port order
};

// The run; returns the exit status (0; 8 when any port failed; 9 under --check when ports were
// only found to differ; a usage error that every port met alike ends it as for one port).
int RunSeveralPorts(const SeveralPortsRun& run);

}  // namespace countryset
