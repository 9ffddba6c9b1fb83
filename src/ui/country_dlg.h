// The country selection dialog: the countries and ports offered by the settings file, the last
// successful choice preselected, and the operator's choice handed back to the caller.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "settings/private_profile.h"
#include "ui/dialog.h"

namespace countryset {

// One row of the country table: the name the list shows and the code the modem is given.
struct CountryEntry {
    char name[20];
    char code[20];
};
static_assert(sizeof(CountryEntry) == 40);

inline constexpr int kCountryTableRows = 50;
inline constexpr std::uint32_t kCountrySectionSize = 1024;
inline constexpr std::uint32_t kSettingTextSize = 256;

// What the dialog reads from the settings file; it outlives the dialog and is refilled at every
// initialisation.
struct CountryDialogState {
    std::array<CountryEntry, kCountryTableRows> CountryTable{};
    int rows = 0;  // rows of CountryTable filled by the last initialisation
    // The row that each position of the sorted country list shows.
    std::array<int, kCountryTableRows> rowAtPosition{};
    std::int32_t numOfCountry = 0;
    std::int32_t currentSet = 0;
    std::int32_t currentCom = 1;
};

class CCountryDlg : public CDialog {
public:
    // profile and state must outlive the dialog; settingsPath is read at initialisation.
    CCountryDlg(PrivateProfile& profile, const char* settingsPath, CountryDialogState& state,
                CWnd* pParent = nullptr);

    std::string m_strCode;           // code of the chosen country; empty: no choice
    std::string m_strCountry;        // exchanged with the country list
    std::int32_t m_nCountrySel = 0;  // chosen position in the sorted country list, -1 for none
    std::string m_strPort;           // exchanged with the port list
    std::int32_t m_nPortSel = -1;    // chosen port position, 0 for COM1 ... 7 for COM8

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;

private:
    void LoadCountryTable();
    void OnOkButton();

    PrivateProfile& m_profile;
    const char* m_settingsPath;
    CountryDialogState& m_state;
    CComboBox* m_pCountryList = nullptr;
    CComboBox* m_pPortList = nullptr;
};

}  // namespace countryset
