#include "app/query_run.h"

#include <string>

#include "app/exit_status.h"
#include "app/gci_reply.h"
#include "app/main_dlg.h"
#include "app/result_json.h"
#include "app/run_outcome.h"
#include "app/t35_table.h"
#include "serial/collect_reply.h"
#include "serial/comm_port.h"
#include "serial/modem_attach.h"
#include "serial/trace_comm_driver.h"
#include "ui/country_dlg.h"
#include "ui/shown_text.h"

namespace countryset {

ModemAnswer Ask(CCommPort& port, ReceiveRing& ring, std::string_view command) {
    return AskModem(port, ring, command, kReplySeconds);
}

namespace {

// The modem's bytes as a failure line shows them: escaped, and no more than 200 of them.
std::string ShownAnswer(std::string_view bytes) {
    constexpr std::size_t kShown = 200;
    return EscapeWireBytes(bytes.substr(0, kShown)) + (bytes.size() > kShown ? "..." : "");
}

// Why a query gave no usable answer, in one line the operator can act on: the step, and what
// went wrong with it.
std::string Failure(std::string_view command, const std::string& reply, ReplyEnd end,
                    QueryOutcome::Answer answer, const std::string& problem) {
    const std::string name(command.substr(0, command.size() - 1));
    const std::string seconds = std::to_string(kReplySeconds);
    switch (end) {
        case ReplyEnd::Overrun:
            return "The modem's answer to " + name +
                   " was lost: bytes came faster than they could be kept (overrun).";
        case ReplyEnd::TimedOut:
            if (reply.empty()) {
                return "The modem did not answer " + name + " within " + seconds + " s.";
            }
            return "The modem's answer to " + name + " has no final OK within " + seconds +
                   " s: " + ShownAnswer(reply);
        case ReplyEnd::Full:
            return "The modem's answer to " + name + " is longer than " +
                   std::to_string(kAnswerLimit) + " bytes: " + ShownAnswer(reply);
        case ReplyEnd::Complete:
            break;
    }
    if (answer == QueryOutcome::Answer::Refused) {
        return "The modem refused " + name + " (answered ERROR).";
    }
    return "The modem's answer to " + name + " does not read (" + VisibleText(problem) +
           "): " + ShownAnswer(reply);
}

}  // namespace

namespace {

// The main window with the query in place of the country setting: its creation makes the port
// object and the receive ring as for a run, with the same failures told the same way.
class QueryWindow : public CMainDlg {
public:
    QueryWindow(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                WindowServices& services, const ChoicePresenter& presenter, std::ostream& out,
                bool json)
        : CMainDlg(state, profile, driver, services),
          m_state(state),
          m_profile(profile),
          m_services(services),
          m_presenter(presenter),
          m_out(out),
          m_json(json) {}

    int Status() const { return m_status; }

protected:
    bool OnInitDialog() override {
        CDialog::OnInitDialog();
        const QueryOutcome outcome = Read();
        m_status = m_presenter.UsageProblem().empty() ? Tell(outcome) : 2;
        EndDialog(IDCANCEL);
        return false;
    }

private:
    // Reads the modem; tells nothing.
    QueryOutcome Read();
    // Prints what was read; failures of the queries go to the message boxes. The exit status.
    int Tell(const QueryOutcome& outcome);
    // The same for --json: the object on out, the failures still as messages.
    int TellJson(const QueryOutcome& outcome);

    ProgramState& m_state;
    PrivateProfile& m_profile;
    WindowServices& m_services;
    const ChoicePresenter& m_presenter;
    std::ostream& m_out;
    bool m_json;
    int m_status = 1;
};

QueryOutcome QueryWindow::Read() {
    QueryOutcome outcome;
    {
        CCountryDlg dlg(m_profile, m_state.settingsPath, m_state.country);
        dlg.DoModal();
    }
    if (!m_presenter.UsageProblem().empty()) {
        return outcome;
    }
    m_state.chosenPortPosition = m_presenter.PortPosition();
    SelectPortNumber();
    outcome.port = PortName();
    outcome.device = PortDevice();
    outcome.attach = AttachModem();
    if (outcome.attach.kind != AttachResult::Kind::Attached) {
        return outcome;
    }
    const auto answerOf = [](GciReply::Kind kind) {
        return kind == GciReply::Kind::Answered  ? QueryOutcome::Answer::Answered
               : kind == GciReply::Kind::Refused ? QueryOutcome::Answer::Refused
                                                 : QueryOutcome::Answer::Unreadable;
    };
    ModemAnswer answer = Ask(Port(), *m_state.ring, kCurrentCountryQuery);
    outcome.currentReply = std::move(answer.bytes);
    outcome.currentEnd = answer.end;
    const GciReply current = ParseCurrentCountry(outcome.currentReply, kCurrentCountryQuery);
    answer = Ask(Port(), *m_state.ring, kSupportedCountriesQuery);
    outcome.supportedReply = std::move(answer.bytes);
    outcome.supportedEnd = answer.end;
    const GciReply supported =
        ParseSupportedCountries(outcome.supportedReply, kSupportedCountriesQuery);
    outcome.current = answerOf(current.kind);
    outcome.currentProblem = current.problem;
    outcome.supported = answerOf(supported.kind);
    outcome.supportedProblem = supported.problem;
    outcome.supportedCodes = supported.supported;

    // The offered list in its own order, each position with the code of the row it shows.
    const CountryDialogState& table = m_state.country;
    const std::vector<std::string>& names = m_presenter.OfferedNames();
    std::vector<std::pair<std::string, std::string>> listed;
    for (std::size_t pos = 0; pos < names.size(); ++pos) {
        QueryOutcome::Offered row;
        row.name = names[pos];
        if (pos < static_cast<std::size_t>(table.rows)) {
            row.code = table.CountryTable[static_cast<std::size_t>(table.rowAtPosition[pos])].code;
        }
        std::uint8_t code = 0;
        const bool readable = ParseCountryCode(row.code, code);
        if (readable && outcome.supported == QueryOutcome::Answer::Answered) {
            row.support = outcome.supportedCodes.test(code) ? QueryOutcome::Offered::Support::Yes
                                                            : QueryOutcome::Offered::Support::No;
        }
        listed.emplace_back(row.name, row.code);
        outcome.offered.push_back(std::move(row));
    }
    if (outcome.current == QueryOutcome::Answer::Answered) {
        outcome.currentCode = current.current;
        outcome.currentName = NameOfCode(current.current, listed);
    }
    return outcome;
}

int QueryWindow::Tell(const QueryOutcome& outcome) {
    if (const std::optional<MessageBoxText> box = AttachFailureMessage(outcome.attach)) {
        m_services.ShowBox(*box);
        if (m_json) {
            m_out << QueryJson(outcome, outcome.attach.reason) << std::endl;
        }
        return static_cast<int>(outcome.attach.kind == AttachResult::Kind::ProbeFailed
                                    ? ExitStatus::NoAnswer
                                    : ExitStatus::PortNotUsable);
    }
    if (m_json) {
        return TellJson(outcome);
    }
    int status = 0;
    if (outcome.current == QueryOutcome::Answer::Answered) {
        const std::string code = T35CodeText(outcome.currentCode);
        const std::string name = VisibleText(outcome.currentName.name);
        m_out << "Current country: "
              << (outcome.currentName.inSettings ? name + " (" + code + ")"
                  : name.empty()                 ? code + " (not in the settings file)"
                                 : code + " (" + name + ", not in the settings file)")
              << "\n";
    } else {
        m_services.AfxMessageBox(Failure(kCurrentCountryQuery, outcome.currentReply,
                                         outcome.currentEnd, outcome.current,
                                         outcome.currentProblem));
        status = 1;
    }

    if (outcome.supported == QueryOutcome::Answer::Answered) {
        std::string lines;
        int taken = 0;
        for (const QueryOutcome::Offered& row : outcome.offered) {
            using Support = QueryOutcome::Offered::Support;
            taken += row.support == Support::Yes ? 1 : 0;
            lines += std::string(row.support == Support::Yes  ? "  yes  "
                                 : row.support == Support::No ? "  no   "
                                                              : "  ?    ") +
                     VisibleText(row.name) + " (" + VisibleText(row.code) + ")\n";
        }
        m_out << "Offered countries the modem supports: " << taken << " of "
              << outcome.offered.size() << "\n"
              << lines;
    } else {
        m_services.AfxMessageBox(Failure(kSupportedCountriesQuery, outcome.supportedReply,
                                         outcome.supportedEnd, outcome.supported,
                                         outcome.supportedProblem));
        status = 1;
    }
    m_out.flush();
    return status;
}

}  // namespace

int QueryWindow::TellJson(const QueryOutcome& outcome) {
    std::string reason;
    const auto fail = [&](std::string_view command, const std::string& reply, ReplyEnd end,
                          QueryOutcome::Answer answer, const std::string& problem) {
        const std::string why = Failure(command, reply, end, answer, problem);
        m_services.AfxMessageBox(why);
        reason += (reason.empty() ? "" : " ") + why;
    };
    if (outcome.current != QueryOutcome::Answer::Answered) {
        fail(kCurrentCountryQuery, outcome.currentReply, outcome.currentEnd, outcome.current,
             outcome.currentProblem);
    }
    if (outcome.supported != QueryOutcome::Answer::Answered) {
        fail(kSupportedCountriesQuery, outcome.supportedReply, outcome.supportedEnd,
             outcome.supported, outcome.supportedProblem);
    }
    m_out << QueryJson(outcome, reason) << std::endl;
    return reason.empty() ? 0 : 1;
}

int RunQuery(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
             WindowServices& services, const ChoicePresenter& presenter, std::ostream& out,
             bool json) {
    QueryWindow window(state, profile, driver, services, presenter, out, json);
    window.DoModal();
    // A main window that could not be created has told why.
    return window.Status();
}

}  // namespace countryset
