#include "app/run_outcome.h"

#include "app/gci_reply.h"
#include "app/t35_table.h"
#include "serial/modem_attach.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

// "Dominican Republic (33)"; a code nobody names is shown as a code.
std::string Shown(const std::string& name, std::uint8_t code) {
    return name.empty() ? "code " + T35CodeText(code) + " (no known country)"
                        : VisibleText(name) + " (" + T35CodeText(code) + ")";
}

std::string ShownSent(const RunOutcome& outcome) {
    std::uint8_t code = 0;
    const std::string codeText =
        ParseCountryCode(outcome.codeSent, code) ? T35CodeText(code) : outcome.codeSent;
    return VisibleText(outcome.countryName) + " (" + VisibleText(codeText) + ")";
}

}  // namespace

std::vector<MessageBoxText> OutcomeMessages(const RunOutcome& outcome,
                                            const std::string& settingsPath, bool storeWanted) {
    std::vector<MessageBoxText> boxes;
    const auto attachFailure = [&](AttachResult::Kind kind) {
        if (auto box = AttachFailureMessage({kind, outcome.reason, outcome.reply})) {
            boxes.push_back(*box);
        }
    };
    switch (outcome.kind) {
        case RunOutcomeKind::Cancelled:
        case RunOutcomeKind::WouldChange:
            break;
        case RunOutcomeKind::PortNotUsable:
            attachFailure(AttachResult::Kind::PortNotUsable);
            break;
        case RunOutcomeKind::WatcherNotStarted:
            attachFailure(AttachResult::Kind::WatcherNotStarted);
            break;
        case RunOutcomeKind::NoModem:
            attachFailure(AttachResult::Kind::ProbeFailed);
            break;
        case RunOutcomeKind::NoAnswer:
        case RunOutcomeKind::Refused:
            boxes.push_back(
                {"Can't perform country setting on this model modem!", "Error", MB_ICONERROR});
            break;
        case RunOutcomeKind::HoldsOther:
            boxes.push_back({"The modem answered OK but holds " +
                                 Shown(outcome.heldName, outcome.codeRead.value_or(0)) + ", not " +
                                 ShownSent(outcome) + ".",
                             "Error", MB_ICONERROR});
            break;
        case RunOutcomeKind::SetVerified:
        case RunOutcomeKind::SetNotReported:
        case RunOutcomeKind::SetNotChecked:
        case RunOutcomeKind::AlreadySet:
            boxes.push_back({"Country set successfully.", "", MB_OK});
            if (!outcome.stored && storeWanted) {
                boxes.push_back(
                    {"The country was set on the modem, but the choice could not be "
                     "saved in the settings file " +
                         settingsPath + ".",
                     "Error", MB_ICONERROR});
            }
            break;
    }
    return boxes;
}

std::vector<MessageBoxText> CheckMessages(const RunOutcome& outcome) {
    if (outcome.kind == RunOutcomeKind::AlreadySet) {
        return {{"The modem holds " + ShownSent(outcome) + ".", "", MB_OK}};
    }
    if (outcome.codeRead.has_value()) {
        return {{"The modem holds " + Shown(outcome.heldName, *outcome.codeRead) + ", not " +
                     ShownSent(outcome) + ".",
                 "", MB_OK}};
    }
    return {{"The modem cannot tell whether it holds " + ShownSent(outcome) + ": " +
                 VisibleText(outcome.reason) + ".",
             "", MB_OK}};
}

std::string OutcomeNote(const RunOutcome& outcome) {
    if (outcome.kind == RunOutcomeKind::SetNotReported) {
        return "not verified: the modem does not report its country";
    }
    if (outcome.kind == RunOutcomeKind::AlreadySet) {
        return "the modem already held " + ShownSent(outcome) + ": nothing was sent";
    }
    return {};
}

NamedCode NameOfCode(std::uint8_t code,
                     const std::vector<std::pair<std::string, std::string>>& settingsCountries) {
    NamedCode named;
    for (const auto& [name, codeText] : settingsCountries) {
        std::uint8_t listed = 0;
        if (ParseCountryCode(codeText, listed) && listed == code) {
            named.name += (named.name.empty() ? "" : " / ") + name;
            named.inSettings = true;
        }
    }
    if (!named.inSettings) {
        named.name = std::string(T35Name(code).value_or(""));
    }
    return named;
}

}  // namespace countryset
