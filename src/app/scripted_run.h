// A scripted country run (--country, --check) on one port: the dialog answered from the command
// line, each message one line on a stream, and what came of it as a value and an exit status.
// Everything it touches is passed in, so a caller may run one per port, each with its own state.
#pragma once

#include <ostream>
#include <string>

#include "app/exit_status.h"
#include "app/program_state.h"
#include "app/run_outcome.h"
#include "serial/comm_driver.h"
#include "serial/trace_comm_driver.h"
#include "settings/private_profile.h"

namespace countryset {

struct ScriptedRequest {
    std::string country;     // as given to --country
    std::string port;        // "COM3"; empty: the stored port
    bool check = false;      // --check: read the modem's country, change nothing
    std::string executable;  // the program's own path, beside which its settings file lies
};

struct ScriptedResult {
    // Cancelled when the run never reached the port (a usage error, an unreadable settings
    // file): then there is no outcome to report, only the status.
    RunOutcome outcome;
    ExitStatus status = ExitStatus::NotSet;
};

// state: fresh, with appName and readBack set. Messages go to messages as lines prefixed with
// the program's name; trace, when given, gets the run's notes too.
ScriptedResult RunScriptedCountry(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                                  const ScriptedRequest& request, std::ostream& messages,
                                  TraceCommDriver* trace);

// The exit status of a run that reached the port.
ExitStatus ScriptedStatus(RunOutcomeKind kind);

}  // namespace countryset
