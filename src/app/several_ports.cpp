#include "app/several_ports.h"

#include <sstream>

#include "app/choice_presenter.h"
#include "app/port_list.h"
#include "app/port_runner.h"
#include "app/result_json.h"
#include "app/scripted_run.h"
#include "app/setup_app.h"
#include "ui/window_services.h"

namespace countryset {

namespace {

// Each line "countryset: text" as "countryset: COM3: text".
std::string Tagged(const std::string& lines, const std::string& appName, const std::string& port) {
    const std::string prefix = appName + ": ";
    std::string tagged;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            line.insert(prefix.size(), port + ": ");
        } else {
            line.insert(0, port + ": ");  // a close match the line above suggests
        }
        tagged += line + "\n";
    }
    return tagged;
}

// One port's whole job, on its own thread: nothing of it is shared with the other ports but the
// driver, the settings file's reads and stderr.
PortResult RunPort(const SeveralPortsRun& run, const std::string& port) {
    const std::string& appName = run.state.appName;
    ProgramState state;
    state.appName = appName;
    state.readBack = run.state.readBack;
    state.portDevice = run.state.portDevice;
    state.storeChoice = false;
    const ScriptedRequest request{run.commandLine.country, port, run.commandLine.check,
                                  run.executable};
    std::ostringstream messages;
    const ScriptedResult scripted =
        RunScriptedCountry(state, run.profile, run.driver, request, messages, nullptr);

    PortResult result;
    result.port = port;
    result.outcome = scripted.outcome;
    result.status = static_cast<int>(scripted.status);
    if (result.outcome.kind == RunOutcomeKind::Cancelled) {
        // The run never reached the port: a problem of the command line, told by the caller.
        result.heldMessages = messages.str();
        return result;
    }
    if (const std::string note = OutcomeNote(result.outcome);
        run.trace != nullptr && !note.empty() && !run.commandLine.check) {
        run.trace->Note(port, note);
    }
    // The port's lines together, each whole.
    if (const std::string lines = Tagged(messages.str(), appName, port); !lines.empty()) {
        run.errors.Write(lines);
    }
    return result;
}

}  // namespace

int RunSeveralPorts(const SeveralPortsRun& run) {
    LineStream messages(run.errors);
    const std::string& appName = run.state.appName;
    {
        // The settings path, before any port's thread: the driver finds devices through it.
        ChoicePresenter presenter({}, {}, messages, appName);
        WindowServices services(appName, presenter);
        if (!CSetupApp(run.state, run.profile, run.driver, services).FindSettings(run.executable)) {
            services.FlushPendingMessages();
            return static_cast<int>(ExitStatus::UsageError);
        }
    }
    std::vector<std::string> ports = run.commandLine.ports;
    if (run.commandLine.allPorts) {
        ports = PresentPorts(run.profile, run.state.settingsPath);
        if (ports.empty()) {
            messages << appName << ": --all-ports: no port's device is there (see --list-ports)"
                     << std::endl;
            return static_cast<int>(ExitStatus::PortNotUsable);
        }
    }
    const std::vector<PortResult> results =
        RunPorts(ports, [&run](const std::string& port) { return RunPort(run, port); });

    // A problem of the command line meets every port alike (a country not offered): told once,
    // with its status, as for one port.
    const PortResult& first = results.front();
    bool sameProblem = true;
    for (const PortResult& result : results) {
        sameProblem = sameProblem && result.outcome.kind == RunOutcomeKind::Cancelled &&
                      result.status == first.status && result.heldMessages == first.heldMessages;
    }
    if (sameProblem && first.status != static_cast<int>(ExitStatus::Set)) {
        run.errors.Write(first.heldMessages);
        return first.status;
    }
    for (const PortResult& result : results) {
        if (!result.heldMessages.empty()) {
            run.errors.Write(Tagged(result.heldMessages, appName, result.port));
        }
    }
    if (run.commandLine.json) {
        for (const PortResult& result : results) {
            if (result.outcome.kind != RunOutcomeKind::Cancelled) {
                run.out << OutcomeJson(result.outcome) << "\n";
            }
        }
        run.out.flush();
    }
    messages << appName << ": " << SummaryLine(results) << std::endl;
    return CombinedStatus(results);
}

}  // namespace countryset
