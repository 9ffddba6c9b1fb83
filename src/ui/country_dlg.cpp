#include "ui/country_dlg.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "ui/dialog_templates.h"

namespace countryset {

namespace {

constexpr const char* kSection = "Setting";

// Copies at most the field's size minus one bytes and always terminates.
template <std::size_t N>
void CopyField(char (&field)[N], const char* text, std::size_t length) {
    const std::size_t n = std::min(length, N - 1);
    std::memcpy(field, text, n);
    field[n] = '\0';
}

// A list position from a stored value, without overflow for values at the ends of the range.
int PositionFrom(std::int64_t value) {
    return value < INT_MIN || value > INT_MAX ? -1 : static_cast<int>(value);
}

}  // namespace

CCountryDlg::CCountryDlg(PrivateProfile& profile, const char* settingsPath,
                         CountryDialogState& state, CWnd* pParent)
    : CDialog(CountryDialogTemplate(), pParent),
      m_profile(profile),
      m_settingsPath(settingsPath),
      m_state(state) {
    MapCommand(IDC_OK_BUTTON, [this] { OnOkButton(); });
    MapCommand(IDC_CANCEL_BUTTON, [this] { OnCancel(); });
}

void CCountryDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_CODE_EDIT, m_strCode);
    DDV_MaxChars(pDX, m_strCode, 20);
    DDX_CBString(pDX, IDC_COUNTRY_LIST, m_strCountry);
    DDX_CBString(pDX, IDC_PORT_LIST, m_strPort);
}

bool CCountryDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    char text[kSettingTextSize];
    m_profile.GetPrivateProfileString(kSection, "GroupText", "Setting", text, sizeof text,
                                      m_settingsPath);
    GetDlgItem(IDC_SETTING_GROUP)->SetWindowText(text);
    m_profile.GetPrivateProfileString(kSection, "StaticText", "Current Selected Country", text,
                                      sizeof text, m_settingsPath);
    GetDlgItem(IDC_SELECTED_LABEL)->SetWindowText(text);
    m_profile.GetPrivateProfileString(kSection, "Title", "Country Setting", text, sizeof text,
                                      m_settingsPath);
    SetWindowText(text);

    m_state.numOfCountry =
        m_profile.GetPrivateProfileInt(kSection, "NumOfCountry", 0, m_settingsPath);
    m_state.currentSet = m_profile.GetPrivateProfileInt(kSection, "CurrentSet", 0, m_settingsPath);
    m_state.currentCom = m_profile.GetPrivateProfileInt(kSection, "CurrentCOM", 1, m_settingsPath);

    LoadCountryTable();
    return true;
}

void CCountryDlg::LoadCountryTable() {
    char section[kCountrySectionSize];
    const std::uint32_t placed =
        m_profile.GetPrivateProfileSection("Country", section, sizeof section, m_settingsPath);
    // A list that filled the buffer to the brim may end in a cut entry, whose code would be
    // the wrong one: that entry is not offered.
    const bool mayBeCut = placed >= sizeof section - 1;

    m_state.CountryTable = {};
    m_state.rows = 0;
    const int wanted = std::min<std::int32_t>(m_state.numOfCountry, kCountryTableRows);

    char entry[kSettingTextSize];
    std::size_t offset = 0;
    for (int i = 0; i < wanted; ++i) {
        // The walk ends at the empty text that closes the list and never reads past the buffer.
        if (offset >= sizeof section || section[offset] == '\0') {
            break;
        }
        const std::size_t length = strnlen(section + offset, sizeof section - offset);
        const std::size_t next = offset + length + 1;
        const bool last = next >= sizeof section || section[next] == '\0';
        if (last && mayBeCut) {
            break;
        }
        CopyField(entry, section + offset, length);
        offset = next;

        // An entry without "=" is a name with an empty code, so choosing it is no choice.
        CountryEntry& row = m_state.CountryTable[static_cast<std::size_t>(i)];
        const char* equals = std::strchr(entry, '=');
        const std::size_t nameLength =
            equals ? static_cast<std::size_t>(equals - entry) : std::strlen(entry);
        CopyField(row.name, entry, nameLength);
        if (equals) {
            CopyField(row.code, equals + 1, std::strlen(equals + 1));
        }
        m_state.rows = i + 1;
    }

    m_pCountryList = GetComboBox(IDC_COUNTRY_LIST);
    for (int i = 0; i < m_state.rows; ++i) {
        m_pCountryList->SendMessage(
            CB_ADDSTRING, 0,
            reinterpret_cast<LPARAM>(m_state.CountryTable[static_cast<std::size_t>(i)].name));
    }
    m_pCountryList->SendMessage(CB_SETCURSEL,
                                static_cast<WPARAM>(PositionFrom(m_state.currentSet)));
    m_pCountryList->SendMessage(CB_SELECTSTRING, static_cast<WPARAM>(-1),
                                reinterpret_cast<LPARAM>(m_strCountry.c_str()));

    m_pPortList = GetComboBox(IDC_PORT_LIST);
    for (const char* port : {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}) {
        m_pPortList->SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port));
    }
    m_pPortList->SendMessage(
        CB_SETCURSEL,
        static_cast<WPARAM>(PositionFrom(static_cast<std::int64_t>(m_state.currentCom) - 1)));
    m_pPortList->SendMessage(CB_SELECTSTRING, static_cast<WPARAM>(-1),
                             reinterpret_cast<LPARAM>(m_strPort.c_str()));
}

void CCountryDlg::OnOkButton() {
    m_nCountrySel = static_cast<std::int32_t>(m_pCountryList->SendMessage(CB_GETCURSEL));
    // The code belongs to the chosen name, wherever that name stands in the file: the list is
    // sorted, the table keeps the file's order.
    m_strCode.clear();
    if (m_nCountrySel >= 0) {
        const std::string chosen = m_pCountryList->GetLBText(m_nCountrySel);
        for (int i = 0; i < m_state.rows; ++i) {
            const CountryEntry& row = m_state.CountryTable[static_cast<std::size_t>(i)];
            if (chosen == row.name) {
                m_strCode = row.code;
                break;
            }
        }
    }
    m_nPortSel = static_cast<std::int32_t>(m_pPortList->SendMessage(CB_GETCURSEL));
    OnCancel();
}

}  // namespace countryset
