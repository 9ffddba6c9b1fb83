#include "app/scripted_run.h"

#include "app/choice_presenter.h"
#include "app/setup_app.h"
#include "ui/shown_text.h"
#include "ui/window_services.h"

namespace countryset {

ExitStatus ScriptedStatus(RunOutcomeKind kind) {
    switch (kind) {
        case RunOutcomeKind::SetVerified:
        case RunOutcomeKind::SetNotReported:
        case RunOutcomeKind::SetNotChecked:
        case RunOutcomeKind::AlreadySet:
            return ExitStatus::Set;
        case RunOutcomeKind::PortNotUsable:
        case RunOutcomeKind::WatcherNotStarted:
            return ExitStatus::PortNotUsable;
        case RunOutcomeKind::NoModem:
        case RunOutcomeKind::NoAnswer:
            return ExitStatus::NoAnswer;
        case RunOutcomeKind::Refused:
            return ExitStatus::Refused;
        case RunOutcomeKind::HoldsOther:
            return ExitStatus::HoldsOther;
        case RunOutcomeKind::WouldChange:
            return ExitStatus::CheckDiffers;
        case RunOutcomeKind::Cancelled:
            break;
    }
    return ExitStatus::NotSet;
}

ScriptedResult RunScriptedCountry(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                                  const ScriptedRequest& request, std::ostream& messages,
                                  TraceCommDriver* trace) {
    // No operator: the dialog is answered from the command line, each message is one line, and
    // nothing ever waits for input, so no terminal is needed.
    ChoicePresenter presenter(request.country, request.port, messages, state.appName);
    presenter.StoredPortFrom(&state.country.currentCom);
    WindowServices services(state.appName, presenter);
    // A modem that misbehaves on AT+GCI? (--no-verify) is not asked before the set either.
    state.readBefore = state.readBack;
    state.checkOnly = request.check;

    ScriptedResult result;
    CSetupApp app(state, profile, driver, services);
    if (!app.FindSettings(request.executable)) {
        services.FlushPendingMessages();
        result.status = ExitStatus::UsageError;
        return result;
    }
    app.InitInstance(request.executable);
    result.outcome = app.Outcome();
    result.status = ScriptedStatus(result.outcome.kind);
    if (const std::string note = OutcomeNote(result.outcome); !note.empty() && !request.check) {
        messages << state.appName << ": " << note << "\n";
        if (trace != nullptr) {
            trace->Note(note);
        }
    }
    services.FlushPendingMessages();
    if (!presenter.UsageProblem().empty()) {
        messages << state.appName << ": " << presenter.UsageProblem() << "\n";
        if (presenter.OfferedNames().empty()) {
            // Nothing offered at all: say where the countries were looked for.
            messages << state.appName << ": the settings file " << VisibleText(state.settingsPath)
                     << " offers no countries: is it missing or empty?\n";
        }
        result.status =
            presenter.CountryUnmatched() ? ExitStatus::NoSuchCountry : ExitStatus::UsageError;
    }
    messages.flush();
    return result;
}

}  // namespace countryset
