// The presenter of the modes without an operator: it answers the country dialog from the command
// line (through the dialog model, so the offered list and its rules are the dialog's own), and
// writes each message box as one line to a stream instead of waiting for Enter.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ui/presenter.h"

namespace countryset {

// Which entries of the offered list a name given on the command line means: the entries equal
// to it as written; else, for "NAME#n", the n-th of the entries equal to NAME; else those equal
// to it ignoring case; else those it begins. Close names to suggest, as PickableNames spells
// them, when that is not one entry.
struct CountryMatch {
    std::vector<int> positions;
    std::vector<std::string> closeNames;
};
CountryMatch MatchCountry(const std::vector<std::string>& listed, std::string_view name);

// Each entry of the list as --country picks it alone: its name, or "NAME#n" for the n-th of
// equal names.
std::vector<std::string> PickableNames(const std::vector<std::string>& listed);

class ChoicePresenter : public Presenter {
public:
    // country empty: the dialog is only read and then cancelled. port empty: the stored port.
    ChoicePresenter(std::string country, std::string port, std::ostream& messages,
                    std::string appName);

    void RunModal(CDialog& dlg) override;
    void ShowMessage(const std::string& caption, const std::string& text, unsigned style) override;

    // What the dialog offered, in list order, and the port position the run would take.
    const std::vector<std::string>& OfferedNames() const { return m_offered; }
    int PortPosition() const { return m_portPosition; }
    // Set when the command line named no single country or port: the run was cancelled.
    const std::string& UsageProblem() const { return m_usageProblem; }
    // Whether that problem is a country name that picks no single offered entry.
    bool CountryUnmatched() const { return m_countryUnmatched; }
    // The stored CurrentCOM as the dialog reads it, named when it is no port of the list.
    void StoredPortFrom(const std::int32_t* currentCom) { m_storedPort = currentCom; }

private:
    std::string m_country;
    std::string m_port;
    std::ostream& m_messages;
    std::string m_appName;
    std::vector<std::string> m_offered;
    int m_portPosition = -1;
    std::string m_usageProblem;
    bool m_countryUnmatched = false;
    const std::int32_t* m_storedPort = nullptr;
};

class CommDriver;
class PrivateProfile;
class WindowServices;
struct ProgramState;

// --list-countries: the dialog is read (no port is opened) and each offered entry printed as
// --country picks it, made visible. The exit status: 0, or 2 when the settings cannot be read.
int ListCountries(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                  WindowServices& services, ChoicePresenter& presenter,
                  const std::string& executable, std::ostream& out);

}  // namespace countryset
