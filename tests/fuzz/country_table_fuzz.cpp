// Fuzz target: the country-table walk. Any bytes as the settings file, then the selection
// dialog's initialisation and one operator action: Enter, a pick from either list then OK, or
// Escape. The table and the choice handed back must stay within their fields whatever the file
// holds: at most 50 rows, names and codes of at most 19 characters, and a code that is the code
// of the chosen name.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "settings/memory_profile.h"
#include "ui/country_dlg.h"
#include "ui/dialog_templates.h"
#include "ui/scripted_presenter.h"
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
    presenter.Check([&](CDialog& d) { listed = d.GetComboBox(IDC_COUNTRY_LIST)->GetCount(); });
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
    // A code sent comes with a chosen country and is the code of a row.
    const auto end = state.CountryTable.begin() + std::max(0, state.rows);
    Check(dlg.m_strCode.empty() ||
              (dlg.m_nCountrySel >= 0 &&
               std::any_of(state.CountryTable.begin(), end,
                           [&](const CountryEntry& row) { return dlg.m_strCode == row.code; })),
          "a code that no row holds");
    return 0;
}
