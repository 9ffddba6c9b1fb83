#include "app/main_dlg.h"

#include <cstdio>
#include <cstring>
#include <span>

#include "serial/collect_reply.h"
#include "ui/country_dlg.h"
#include "ui/dialog_templates.h"

namespace countryset {

namespace {

constexpr const char* kReplyOk = "\r\nOK\r\n";

// Appends text to the zero-terminated text in buffer, never past its end.
void AppendText(TextBuffer& buffer, const char* text) {
    const std::size_t used = strnlen(buffer.data(), buffer.size());
    std::snprintf(buffer.data() + used, buffer.size() - used, "%s", text);
}

}  // namespace

CMainDlg::CMainDlg(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                   MessageBoxes& messages, CWnd* pParent)
    : CDialog(MainDialogTemplate(), pParent),
      m_state(state),
      m_profile(profile),
      m_messages(messages),
      m_port(driver, messages),
      m_hIcon(LoadIcon(IDR_MAINFRAME)) {}

int CMainDlg::OnCreate() {
    if (CDialog::OnCreate() == -1) {
        return -1;
    }
    m_state.ringStorage = m_state.allocateRing(ReceiveRing::kSlots);
    if (!m_state.ringStorage) {
        m_messages.AfxMessageBox("Out of memory");
        return -1;
    }
    if (!m_port.CreatePortState()) {
        m_messages.AfxMessageBox("Out of Memory");
        m_state.ringStorage.reset();
        return -1;
    }
    m_state.ring = std::make_unique<ReceiveRing>(m_state.ringStorage.get());
    SelectPortNumber();
    return 0;
}

bool CMainDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    return RunCountrySetting();
}

void CMainDlg::SelectPortNumber() {
    PortState* state = m_port.State();
    if (state == nullptr) {
        return;
    }
    const std::int32_t position = m_state.chosenPortPosition;
    state->byPortNumber =
        position >= 0 && position <= 7 ? static_cast<std::uint8_t>(position + 1) : std::uint8_t{1};
}

bool CMainDlg::AttachModem() {
    return countryset::AttachModem(m_port, *m_state.ring, std::span(m_state.ReplyBuffer),
                                   m_messages);
}

bool CMainDlg::RunCountrySetting() {
    m_countrySet = false;
    CCountryDlg dlg(m_profile, m_state.settingsPath, m_state.country);
    dlg.DoModal();
    if (dlg.m_strCode.empty()) {
        EndDialog(IDCANCEL);
        return false;
    }

    m_state.chosenPortPosition = dlg.m_nPortSel;
    SelectPortNumber();

    if (!AttachModem()) {
        const PortState* state = m_port.State();
        if (state != nullptr && state->fRunning.load(std::memory_order_acquire) != 0) {
            m_port.ClosePort();
        }
        EndDialog(IDCANCEL);
        return false;
    }

    m_state.CommandText.fill('\0');
    AppendText(m_state.CommandText, "AT+GCI=");
    AppendText(m_state.CommandText, dlg.m_strCode.c_str());
    AppendText(m_state.CommandText, "\r");
    m_state.ExpectedReply.fill('\0');
    AppendText(m_state.ExpectedReply, m_state.CommandText.data());
    AppendText(m_state.ExpectedReply, kReplyOk);
    m_state.ReplyBuffer.fill('\0');

    m_port.WriteBlock(m_state.CommandText.data(),
                      static_cast<std::uint32_t>(std::strlen(m_state.CommandText.data())));
    CollectReply(m_port, *m_state.ring, m_state.ReplyBuffer,
                 ReplyRule{ReplyEndsAt::Count,
                           static_cast<std::int32_t>(std::strlen(m_state.ExpectedReply.data())),
                           kReplySeconds});

    if (std::strcmp(m_state.ReplyBuffer.data(), m_state.ExpectedReply.data()) == 0) {
        // The modem holds the country now: the choice is stored before the operator is told, so
        // a hang-up or a kill while the message waits cannot lose it.
        m_countrySet = true;
        const bool saved = WriteBackChoice(dlg.m_nCountrySel, dlg.m_nPortSel);
        MessageBox("Country set successfully.", "", MB_OK);
        if (!saved) {
            MessageBox(std::string("The country was set on the modem, but the choice could not "
                                   "be saved in the settings file ") +
                           m_state.settingsPath + ".",
                       "Error", MB_ICONERROR);
        }
        EndDialog(IDCANCEL);
        return true;
    }

    MessageBox("Can't perform country setting on this model modem!", "Error", MB_ICONERROR);
    EndDialog(IDCANCEL);
    return false;
}

// Both keys in one replacement of the file: no reader, and no run that dies halfway, ever sees
// one run's country with another's port.
bool CMainDlg::WriteBackChoice(std::int32_t countrySel, std::int32_t portSel) {
    char set[16];
    char com[16];
    std::snprintf(set, sizeof set, "%d", countrySel);
    std::snprintf(com, sizeof com, "%d", portSel + 1);
    const ProfileKeyText keys[] = {{"CurrentSet", set}, {"CurrentCOM", com}};
    return m_profile.WritePrivateProfileKeys("Setting", keys, m_state.settingsPath);
}

}  // namespace countryset
