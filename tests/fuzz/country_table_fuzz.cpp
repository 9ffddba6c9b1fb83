// Fuzz target: the country-table walk. Any bytes as the settings file, then the selection
// dialog's initialisation and one operator action: Enter, a pick from either list then OK, or
// Escape. The table and the choice handed back must stay within their fields whatever the file
// holds: at most 50 rows, names and codes of at most 19 characters; every row an entry of the
// file with its code whole and its name cut only between characters; each list position showing
// its row, and the code handed back the code of the row at the chosen position.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/memory_profile.h"
#include "fakes/scripted_presenter.h"
#include "fuzz_check.h"
#include "ui/country_dlg.h"
#include "ui/dialog_templates.h"
#include "ui/shown_text.h"
#include "ui/window_services.h"

namespace {

using namespace countryset;

constexpr const char* kPath = "/opt/countryset/countryset.DAT";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int action = in.ConsumeIntegralInRange(0, 3);
    const int pick = in.ConsumeIntegralInRange(-2, 60);
    const std::string text = in.ConsumeRemainingBytesAsString();

    MemoryProfile profile;
    profile.SetFile(kPath, text);
    ScriptedPresenter presenter;
    WindowServices services("countryset", presenter);
    CountryDialogState state;
    CCountryDlg dlg(profile, kPath, state);
    int listed = -1;
    std::vector<std::string> shown;
    presenter.Check([&](CDialog& d) {
        listed = d.GetComboBox(IDC_COUNTRY_LIST)->GetCount();
        shown = d.GetComboBox(IDC_COUNTRY_LIST)->List().Items();
    });
    if (action == 0) {
        presenter.Enter();
    } else if (action == 1) {
        presenter.Select(IDC_COUNTRY_LIST, pick).Click(IDC_OK_BUTTON);
    } else if (action == 2) {
        presenter.Select(IDC_PORT_LIST, pick).Enter();
    } else {
        presenter.Escape();
    }
    dlg.DoModal();

    Check(state.rows >= 0 && state.rows <= kCountryTableRows, "table rows out of range");
    Check(state.rows <= std::max(0, state.numOfCountry), "more rows than NumOfCountry");
    Check(listed == state.rows, "list and table disagree");
    for (const CountryEntry& row : state.CountryTable) {
        Check(std::memchr(row.name, '\0', sizeof row.name) &&
                  std::memchr(row.code, '\0', sizeof row.code),
              "table field not terminated");
    }
    Check(dlg.m_strCode.size() <= 19, "code longer than its field");
    Check(dlg.m_nCountrySel >= -1 && dlg.m_nCountrySel < std::max(1, state.rows),
          "country position out of range");
    Check(dlg.m_nPortSel >= -1 && dlg.m_nPortSel < 8, "port position out of range");
    // Each position shows its row, each row once.
    std::vector<bool> taken(kCountryTableRows, false);
    for (int pos = 0; pos < state.rows; ++pos) {
        const int row = state.rowAtPosition[static_cast<std::size_t>(pos)];
        Check(row >= 0 && row < state.rows && !taken[static_cast<std::size_t>(row)],
              "positions do not map one to one to rows");
        taken[static_cast<std::size_t>(row)] = true;
        Check(shown[static_cast<std::size_t>(pos)] ==
                  state.CountryTable[static_cast<std::size_t>(row)].name,
              "a position shows another row's name");
    }
    // Every row is an entry of the section as a large buffer reads it: the code whole, the name
    // cut at most to 19 bytes and never inside a UTF-8 character.
    std::vector<char> section(1 << 16);
    profile.GetPrivateProfileSection("Country", section.data(),
                                     static_cast<std::uint32_t>(section.size()), kPath);
    for (int i = 0; i < state.rows; ++i) {
        const CountryEntry& row = state.CountryTable[static_cast<std::size_t>(i)];
        bool found = false;
        for (const char* e = section.data(); *e != '\0' && !found; e += std::strlen(e) + 1) {
            const std::string_view entry(e);
            const std::size_t equals = entry.find('=');
            const std::string_view name = entry.substr(0, equals);
            const std::string_view code =
                equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
            found = code == row.code && name.substr(0, CutWithoutSplitting(name, 19)) == row.name;
        }
        Check(found, "a row that is no whole entry of the file");
    }
    const int sel = dlg.m_nCountrySel;
    Check(dlg.m_strCode.empty() ||
              (sel >= 0 && sel < state.rows &&
               dlg.m_strCode == state
                                    .CountryTable[static_cast<std::size_t>(
                                        state.rowAtPosition[static_cast<std::size_t>(sel)])]
                                    .code),
          "a code other than the chosen row's");
    return 0;
}
