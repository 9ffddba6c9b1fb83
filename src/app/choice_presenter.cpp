#include "app/choice_presenter.h"

#include <algorithm>
#include <cctype>

#include "app/setup_app.h"
#include "ui/dialog.h"
#include "ui/dialog_templates.h"
#include "ui/drop_down_list.h"
#include "ui/shown_text.h"
#include "ui/window.h"

namespace countryset {

namespace {

constexpr std::size_t kMostCloseNames = 8;

// Edit distance ignoring ASCII case, for suggesting names after a typing slip.
std::size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
    if (part.empty() || part.size() > text.size()) {
        return false;
    }
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        if (CompareNoCase(text.substr(at, part.size()), part) == 0) {
            return true;
        }
    }
    return false;
}

std::string OneLine(std::string_view text) {
    std::string line(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    return VisibleText(line);
}

}  // namespace

std::vector<std::string> PickableNames(const std::vector<std::string>& listed) {
    std::vector<std::string> names;
    names.reserve(listed.size());
    for (std::size_t pos = 0; pos < listed.size(); ++pos) {
        const auto begin = listed.begin();
        const auto equal = std::count(begin, listed.end(), listed[pos]);
        const auto before =
            std::count(begin, begin + static_cast<std::ptrdiff_t>(pos), listed[pos]);
        names.push_back(equal == 1 ? listed[pos] : listed[pos] + "#" + std::to_string(before + 1));
    }
    return names;
}

CountryMatch MatchCountry(const std::vector<std::string>& listed, std::string_view name) {
    CountryMatch match;
    const auto collect = [&](auto&& fits) {
        for (int pos = 0; pos < static_cast<int>(listed.size()); ++pos) {
            if (fits(listed[static_cast<std::size_t>(pos)])) {
                match.positions.push_back(pos);
            }
        }
    };
    // The name exactly as listed, then the n-th of equal names, then ignoring case, then a
    // beginning: each only when the one before it found nothing.
    collect([&](const std::string& entry) { return entry == name; });
    if (const std::size_t hash = name.rfind('#');
        match.positions.empty() && hash != std::string_view::npos && hash + 1 < name.size() &&
        name.size() - hash <= 3 &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(hash) + 1, name.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        const std::size_t nth = std::stoul(std::string(name.substr(hash + 1)));
        collect([&](const std::string& entry) { return entry == name.substr(0, hash); });
        if (nth >= 1 && nth <= match.positions.size()) {
            match.positions = {match.positions[nth - 1]};
            return match;
        }
        match.positions.clear();
    }
    if (match.positions.empty()) {
        collect([&](const std::string& entry) { return CompareNoCase(entry, name) == 0; });
    }
    if (match.positions.empty()) {
        collect([&](const std::string& entry) { return StartsWithNoCase(entry, name); });
    }
    if (match.positions.size() == 1) {
        return match;
    }
    // Suggestions as --country takes them: equal names with their number.
    const std::vector<std::string> pickable = PickableNames(listed);
    if (!match.positions.empty()) {
        for (int pos : match.positions) {
            match.closeNames.push_back(pickable[static_cast<std::size_t>(pos)]);
        }
    } else {
        // A slip of a letter or two, or a part of the name.
        const std::size_t allowed = std::max<std::size_t>(2, name.size() / 3);
        for (std::size_t pos = 0; pos < listed.size(); ++pos) {
            if (Distance(listed[pos], name) <= allowed || ContainsNoCase(listed[pos], name)) {
                match.closeNames.push_back(pickable[pos]);
            }
        }
    }
    if (match.closeNames.size() > kMostCloseNames) {
        match.closeNames.resize(kMostCloseNames);
    }
    return match;
}

ChoicePresenter::ChoicePresenter(std::string country, std::string port, std::ostream& messages,
                                 std::string appName)
    : m_country(std::move(country)),
      m_port(std::move(port)),
      m_messages(messages),
      m_appName(std::move(appName)) {}

void ChoicePresenter::RunModal(CDialog& dlg) {
    CComboBox* countries = dlg.GetComboBox(IDC_COUNTRY_LIST);
    CComboBox* ports = dlg.GetComboBox(IDC_PORT_LIST);
    if (countries == nullptr || ports == nullptr) {
        dlg.CloseBox();
        return;
    }
    m_offered = countries->List().Items();

    if (!m_port.empty()) {
        const std::vector<std::string>& portNames = ports->List().Items();
        const auto found = std::find_if(portNames.begin(), portNames.end(), [&](const auto& name) {
            return CompareNoCase(name, m_port) == 0;
        });
        if (found == portNames.end()) {
            m_usageProblem = "the port list offers no " + m_port;
            dlg.CloseBox();
            return;
        }
        dlg.SelectItem(IDC_PORT_LIST, static_cast<int>(found - portNames.begin()));
    }
    m_portPosition = ports->GetCurSel();

    if (m_country.empty()) {
        dlg.CloseBox();
        return;
    }
    // The dialog would quietly take COM1 and store it; a script must say which port it means.
    if (m_port.empty() && m_portPosition < 0) {
        m_usageProblem = "the stored port CurrentCOM=" +
                         (m_storedPort != nullptr ? std::to_string(*m_storedPort) : "?") +
                         " is none of COM1 to COM8; give --port";
        dlg.CloseBox();
        return;
    }
    const CountryMatch match = MatchCountry(m_offered, m_country);
    if (match.positions.size() != 1) {
        m_countryUnmatched = true;
        m_usageProblem = (match.positions.empty() ? "no offered country is called '"
                                                  : "more than one offered country matches '") +
                         VisibleText(m_country) + "'";
        if (!match.positions.empty()) {
            m_usageProblem +=
                " (give the name exactly as listed, with #2, #3... for the second, third... of "
                "equal names)";
        }
        if (!match.closeNames.empty()) {
            m_usageProblem += "; close matches:";
            for (const std::string& name : match.closeNames) {
                m_usageProblem += "\n  " + VisibleText(name);
            }
        }
        dlg.CloseBox();
        return;
    }
    dlg.SelectItem(IDC_COUNTRY_LIST, match.positions.front());
    dlg.Click(IDC_OK_BUTTON);
    if (!dlg.IsEnded()) {
        dlg.CloseBox();
    }
}

void ChoicePresenter::ShowMessage(const std::string& /*caption*/, const std::string& text,
                                  unsigned /*style*/) {
    m_messages << m_appName << ": " << OneLine(text) << std::endl;
}

int ListCountries(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                  WindowServices& services, ChoicePresenter& presenter,
                  const std::string& executable, std::ostream& out) {
    CSetupApp app(state, profile, driver, services);
    if (!app.FindSettings(executable)) {
        return 2;
    }
    app.InitInstance(executable);
    for (const std::string& name : PickableNames(presenter.OfferedNames())) {
        out << VisibleText(name) << "\n";
    }
    out.flush();
    return out ? 0 : 1;
}

}  // namespace countryset
