#include "app/several_ports.h"

#include "app/choice_presenter.h"
#include "app/port_list.h"
#include "app/setup_app.h"
#include "ui/shown_text.h"
#include "ui/window_services.h"

namespace countryset {

int ExitStatusOf(const RunOutcome& outcome) {
    ExitStatus status = ExitStatus::NotSet;
    switch (outcome.kind) {
        case RunOutcomeKind::SetVerified:
        case RunOutcomeKind::SetNotReported:
        case RunOutcomeKind::SetNotChecked:
        case RunOutcomeKind::AlreadySet:
            status = ExitStatus::Set;
            break;
        case RunOutcomeKind::PortNotUsable:
        case RunOutcomeKind::WatcherNotStarted:
            status = ExitStatus::PortNotUsable;
            break;
        case RunOutcomeKind::NoModem:
        case RunOutcomeKind::NoAnswer:
            status = ExitStatus::NoAnswer;
            break;
        case RunOutcomeKind::Refused:
            status = ExitStatus::Refused;
            break;
        case RunOutcomeKind::HoldsOther:
            status = ExitStatus::HoldsOther;
            break;
        case RunOutcomeKind::WouldChange:
            status = ExitStatus::CheckDiffers;
            break;
        case RunOutcomeKind::Cancelled:
            break;
    }
    return static_cast<int>(status);
}

namespace {

constexpr int kUsage = static_cast<int>(ExitStatus::UsageError);

// One port's whole job, on its own thread: nothing of it is shared with the other ports but the
// driver, the settings file's reads and the lines on stderr.
PortResult RunPort(const SeveralPortsRun& run, const std::string& port) {
    LineStream messages(run.errors);
    const std::string& appName = run.state.appName;
    ProgramState state;
    state.appName = appName;
    state.readBack = run.state.readBack;
    state.portDevice = run.state.portDevice;
    state.storeChoice = false;
    ChoicePresenter presenter(run.commandLine.country, port, messages, appName + ": " + port);
    PortResult result;
    {
        WindowServices services(appName, presenter);
        CSetupApp app(state, run.profile, run.driver, services);
        app.InitInstance(run.executable);
        services.FlushPendingMessages();
        result.outcome = app.Outcome();
    }
    result.port = port;
    if (!presenter.UsageProblem().empty()) {
        // Told once by the caller when every port met it (a country not offered).
        result.status = kUsage;
        result.usageProblem = presenter.UsageProblem();
        result.nothingOffered = presenter.OfferedNames().empty();
        return result;
    }
    result.status = ExitStatusOf(result.outcome);
    if (const std::string note = OutcomeNote(result.outcome); !note.empty()) {
        messages << appName << ": " << port << ": " << note << std::endl;
        if (run.trace != nullptr) {
            run.trace->Note(port, note);
        }
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
            return kUsage;
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
    // as for one port.
    const PortResult& first = results.front();
    bool sameUsageProblem = true;
    for (const PortResult& result : results) {
        sameUsageProblem = sameUsageProblem && result.status == kUsage &&
                           result.usageProblem == first.usageProblem;
    }
    if (sameUsageProblem) {
        messages << appName << ": " << first.usageProblem << std::endl;
        if (first.nothingOffered) {
            messages << appName << ": the settings file " << VisibleText(run.state.settingsPath)
                     << " offers no countries: is it missing or empty?" << std::endl;
        }
        return kUsage;
    }
    for (const PortResult& result : results) {
        if (result.status == kUsage) {
            messages << appName << ": " << result.port << ": " << result.usageProblem << std::endl;
        }
    }
    messages << appName << ": " << SummaryLine(results) << std::endl;
    return CombinedStatus(results);
}

}  // namespace countryset
