#include "ui/country_dlg.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "ui/dialog_templates.h"
#include "ui/shown_text.h"

namespace countryset {

namespace {

constexpr const char* kSection = "Setting";

// Copies at most the field's size minus one bytes and always terminates.
template <std::size_t N>
void CopyField(char (&field)[N], const char* text, std::size_t length) {
    const std::size_t n = std::min(length, N - 1);
    if (n > 0) {
        std::memcpy(field, text, n);
    }
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
    // Enter on a list gives the standard OK command: the operator chose with the keyboard and
    // means the OK button, not an exchange that copies the empty code field.
    MapCommand(IDOK, [this] { OnOkButton(); });
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
    bool cut = false;
    const std::uint32_t placed = m_profile.GetPrivateProfileSection(
        "Country", section, sizeof section, m_settingsPath, &cut);
    // A cut entry is the last in the buffer; its code would be the wrong one, so it is not
    // offered.

    m_state.CountryTable = {};
    m_state.rows = 0;
    std::size_t offset = 0;
    // "NumOfCountry" counts the entries of the file, offered or not.
    for (std::int32_t entry = 0; entry < m_state.numOfCountry && m_state.rows < kCountryTableRows;
         ++entry) {
        // The walk ends at the empty text that closes the list and never reads past the buffer.
        if (offset >= placed || section[offset] == '\0') {
            break;
        }
        const std::size_t length = strnlen(section + offset, sizeof section - offset);
        const std::size_t next = offset + length + 1;
        if (next > sizeof section || (cut && next == placed)) {
            break;
        }
        const std::string_view text(section + offset, length);
        offset = next;

        // An entry without "=" is a name with an empty code, so choosing it is no choice.
        const std::size_t equals = text.find('=');
        const std::string_view name = text.substr(0, equals);
        const std::string_view code =
            equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
        // A code cut to its field would set some other country: such an entry is not offered.
        if (code.size() >= sizeof(CountryEntry::code)) {
            continue;
        }
        CountryEntry& row = m_state.CountryTable[static_cast<std::size_t>(m_state.rows)];
        CopyField(row.name, name.data(), CutWithoutSplitting(name, sizeof row.name - 1));
        CopyField(row.code, code.data(), code.size());
        ++m_state.rows;
    }

    m_pCountryList = GetComboBox(IDC_COUNTRY_LIST);
    // Each name lands at its sorted place, after the names equal to it; the rows follow along, so
    // every position keeps the code of the row it shows, equal names included.
    auto rowAt = m_state.rowAtPosition.begin();
    for (int i = 0; i < m_state.rows; ++i) {
        const int pos =
            m_pCountryList->AddString(m_state.CountryTable[static_cast<std::size_t>(i)].name);
        const int at = std::clamp(pos, 0, i);
        std::copy_backward(rowAt + at, rowAt + i, rowAt + i + 1);
        rowAt[at] = i;
    }
    m_pCountryList->SetCurSel(PositionFrom(m_state.currentSet));
    m_pCountryList->SelectString(-1, m_strCountry);

    m_pPortList = GetComboBox(IDC_PORT_LIST);
    for (const char* port : {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}) {
        m_pPortList->AddString(port);
    }
    m_pPortList->SetCurSel(PositionFrom(static_cast<std::int64_t>(m_state.currentCom) - 1));
    m_pPortList->SelectString(-1, m_strPort);
}

void CCountryDlg::OnOkButton() {
    m_nCountrySel = m_pCountryList->GetCurSel();
    // The list is sorted, the table keeps the file's order: the position says which row it shows.
    m_strCode.clear();
    if (m_nCountrySel >= 0 && m_nCountrySel < m_state.rows) {
        const int row = m_state.rowAtPosition[static_cast<std::size_t>(m_nCountrySel)];
        m_strCode = m_state.CountryTable[static_cast<std::size_t>(row)].code;
    }
    m_nPortSel = m_pPortList->GetCurSel();
    OnCancel();
}

}  // namespace countryset
