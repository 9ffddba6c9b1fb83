#include "app/query_run.h"

#include <string>

#include "app/gci_reply.h"
#include "app/main_dlg.h"
#include "serial/collect_reply.h"
#include "serial/comm_port.h"
#include "serial/modem_attach.h"
#include "serial/trace_comm_driver.h"
#include "ui/country_dlg.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

// Sends command and collects the answer up to its final result code, for at most the reply
// time of a run.
ModemAnswer Ask(CCommPort& port, ReceiveRing& ring, std::string_view command) {
    return AskModem(port, ring, command, kReplySeconds);
}

// The modem's bytes as a failure line shows them: escaped, and no more than 200 of them.
std::string ShownAnswer(std::string_view bytes) {
    constexpr std::size_t kShown = 200;
    return EscapeWireBytes(bytes.substr(0, kShown)) + (bytes.size() > kShown ? "..." : "");
}

// Why a query gave no usable answer, in one line the operator can act on: the step, and what
// went wrong with it.
std::string Failure(std::string_view command, const ModemAnswer& answer, const GciReply& parsed) {
    const std::string name(command.substr(0, command.size() - 1));
    const std::string seconds = std::to_string(kReplySeconds);
    switch (answer.end) {
        case ReplyEnd::Overrun:
            return "The modem's answer to " + name +
                   " was lost: bytes came faster than they could be kept (overrun).";
        case ReplyEnd::TimedOut:
            if (answer.bytes.empty()) {
                return "The modem did not answer " + name + " within " + seconds + " s.";
            }
            return "The modem's answer to " + name + " has no final OK within " + seconds +
                   " s: " + ShownAnswer(answer.bytes);
        case ReplyEnd::Full:
            return "The modem's answer to " + name + " is longer than " +
                   std::to_string(kAnswerLimit) + " bytes: " + ShownAnswer(answer.bytes);
        case ReplyEnd::Complete:
            break;
    }
    if (parsed.kind == GciReply::Kind::Refused) {
        return "The modem refused " + name + " (answered ERROR).";
    }
    return "The modem's answer to " + name + " does not read (" + VisibleText(parsed.problem) +
           "): " + ShownAnswer(answer.bytes);
}

std::string CodeText(std::uint8_t code) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[code >> 4], kDigits[code & 0x0F]};
}

}  // namespace

namespace {

// The main window with the query in place of the country setting: its creation makes the port
// object and the receive ring as for a run, with the same failures told the same way.
class QueryWindow : public CMainDlg {
public:
    QueryWindow(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                WindowServices& services, const ChoicePresenter& presenter, std::ostream& out)
        : CMainDlg(state, profile, driver, services),
          m_state(state),
          m_profile(profile),
          m_services(services),
          m_presenter(presenter),
          m_out(out) {}

    int Status() const { return m_status; }

protected:
    bool OnInitDialog() override {
        CDialog::OnInitDialog();
        m_status = Query();
        EndDialog(IDCANCEL);
        return false;
    }

private:
    int Query();

    ProgramState& m_state;
    PrivateProfile& m_profile;
    WindowServices& m_services;
    const ChoicePresenter& m_presenter;
    std::ostream& m_out;
    int m_status = 1;
};

int QueryWindow::Query() {
    {
        CCountryDlg dlg(m_profile, m_state.settingsPath, m_state.country);
        dlg.DoModal();
    }
    if (!m_presenter.UsageProblem().empty()) {
        return 2;
    }
    m_state.chosenPortPosition = m_presenter.PortPosition();
    SelectPortNumber();
    if (!AttachModem()) {
        return 1;
    }
    const ModemAnswer currentReply = Ask(Port(), *m_state.ring, kCurrentCountryQuery);
    const GciReply current = ParseCurrentCountry(currentReply.bytes, kCurrentCountryQuery);
    const ModemAnswer supportedReply = Ask(Port(), *m_state.ring, kSupportedCountriesQuery);
    const GciReply supported =
        ParseSupportedCountries(supportedReply.bytes, kSupportedCountriesQuery);

    // The offered list in its own order, each position with the code of the row it shows.
    const CountryDialogState& table = m_state.country;
    const std::vector<std::string>& names = m_presenter.OfferedNames();
    auto codeAt = [&](std::size_t pos) -> std::string {
        if (pos >= static_cast<std::size_t>(table.rows)) {
            return {};
        }
        return table.CountryTable[static_cast<std::size_t>(table.rowAtPosition[pos])].code;
    };

    int status = 0;
    if (current.kind == GciReply::Kind::Answered) {
        std::string named;
        for (std::size_t pos = 0; pos < names.size(); ++pos) {
            std::uint8_t code = 0;
            if (ParseCountryCode(codeAt(pos), code) && code == current.current) {
                named += (named.empty() ? "" : " / ") + VisibleText(names[pos]);
            }
        }
        m_out << "Current country: "
              << (named.empty() ? CodeText(current.current) + " (not in the settings file)"
                                : named + " (" + CodeText(current.current) + ")")
              << "\n";
    } else {
        m_services.AfxMessageBox(Failure(kCurrentCountryQuery, currentReply, current));
        status = 1;
    }

    if (supported.kind == GciReply::Kind::Answered) {
        std::string lines;
        int taken = 0;
        for (std::size_t pos = 0; pos < names.size(); ++pos) {
            const std::string code = codeAt(pos);
            std::uint8_t value = 0;
            const bool readable = ParseCountryCode(code, value);
            const bool takes = readable && supported.supported.test(value);
            taken += takes ? 1 : 0;
            lines += std::string(takes      ? "  yes  "
                                 : readable ? "  no   "
                                            : "  ?    ") +
                     VisibleText(names[pos]) + " (" + VisibleText(code) + ")\n";
        }
        m_out << "Offered countries the modem supports: " << taken << " of " << names.size() << "\n"
              << lines;
    } else {
        m_services.AfxMessageBox(Failure(kSupportedCountriesQuery, supportedReply, supported));
        status = 1;
    }
    m_out.flush();
    return status;
}

}  // namespace

int RunQuery(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
             WindowServices& services, const ChoicePresenter& presenter, std::ostream& out) {
    QueryWindow window(state, profile, driver, services, presenter, out);
    window.DoModal();
    // A main window that could not be created has told why.
    return window.Status();
}

}  // namespace countryset
