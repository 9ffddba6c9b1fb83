#include "app/main_dlg.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/gci_reply.h"
#include "app/modem_identity.h"
#include "app/query_run.h"
#include "app/t35_table.h"
#include "seams/port_name.h"
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
    const std::int32_t given = m_state.givenPortNumber;
    state->wPortNumber =
        given > kListedPorts && given <= kMostPortNumber ? static_cast<std::uint16_t>(given)
        : position >= 0 && position < kListedPorts       ? static_cast<std::uint16_t>(position + 1)
                                                         : std::uint16_t{1};
}

AttachResult CMainDlg::AttachModem() {
    return countryset::AttachModem(m_port, *m_state.ring, std::span(m_state.ReplyBuffer));
}

std::string CMainDlg::PortName() {
    const PortState* state = m_port.State();
    return "COM" + std::to_string(state != nullptr ? state->wPortNumber : 1);
}

std::string CMainDlg::PortDevice() {
    return m_state.portDevice ? m_state.portDevice(PortName()) : std::string();
}

bool CMainDlg::RunCountrySetting() {
    m_outcome = RunOutcome{};
    CCountryDlg dlg(m_profile, m_state.settingsPath, m_state.country);
    dlg.DoModal();
    if (!dlg.m_strCode.empty()) {
        SetCountry(dlg);
        // After the whole exchange, so the country setting itself goes as it always does.
        if (m_state.identify && ModemAnswered(m_outcome.kind)) {
            m_outcome.identity = AskIdentity(m_port, *m_state.ring);
        }
    }
    // A check that read the modem tells what it holds; every other outcome as a run's.
    const bool checked = m_state.checkOnly && (m_outcome.kind == RunOutcomeKind::AlreadySet ||
                                               m_outcome.kind == RunOutcomeKind::WouldChange);
    for (const MessageBoxText& box :
         checked ? CheckMessages(m_outcome)
                 : OutcomeMessages(m_outcome, m_state.settingsPath, m_state.storeChoice)) {
        m_messages.ShowBox(box);
    }
    // A failed attach leaves its port to be closed once the operator has been told, so a modem
    // that did not answer is still held, as it was found to be, while the message waits.
    const bool attachFailed = m_outcome.kind == RunOutcomeKind::PortNotUsable ||
                              m_outcome.kind == RunOutcomeKind::WatcherNotStarted ||
                              m_outcome.kind == RunOutcomeKind::NoModem;
    const PortState* state = m_port.State();
    if (attachFailed && state != nullptr && state->fRunning.load(std::memory_order_acquire) != 0) {
        m_port.ClosePort();
    }
    EndDialog(IDCANCEL);
    return m_outcome.CountrySet();
}

void CMainDlg::SetCountry(const CCountryDlg& dlg) {
    CommDriver& driver = m_port.Driver();
    const std::uint64_t start = driver.GetTickCount64();
    m_state.chosenPortPosition = dlg.m_nPortSel;
    SelectPortNumber();
    m_outcome.port = PortName();
    m_outcome.device = PortDevice();
    const CountryDialogState& table = m_state.country;
    if (dlg.m_nCountrySel >= 0 && dlg.m_nCountrySel < table.rows &&
        dlg.m_nCountrySel < kCountryTableRows) {
        const CountryEntry& chosen = table.CountryTable[static_cast<std::size_t>(
            table.rowAtPosition[static_cast<std::size_t>(dlg.m_nCountrySel)])];
        m_outcome.countryName = std::string(chosen.name, strnlen(chosen.name, sizeof chosen.name));
    }
    m_outcome.codeSent = dlg.m_strCode;

    m_messages.ShowProgress("Setting " + m_outcome.countryName + " on " + m_outcome.port + "...");
    const AttachResult attached = AttachModem();
    m_outcome.ms.attach = driver.GetTickCount64() - start;
    if (attached.kind != AttachResult::Kind::Attached) {
        // The port stays held until the operator has read why (see RunCountrySetting).
        m_outcome.kind = attached.kind == AttachResult::Kind::PortNotUsable
                             ? RunOutcomeKind::PortNotUsable
                         : attached.kind == AttachResult::Kind::WatcherNotStarted
                             ? RunOutcomeKind::WatcherNotStarted
                             : RunOutcomeKind::NoModem;
        m_outcome.reason = attached.reason;
        if (m_outcome.kind == RunOutcomeKind::NoModem && m_outcome.reason.empty()) {
            // For scripts and logs, which see no message box: what the probe came to.
            m_outcome.reason = attached.reply.empty()
                                   ? "no modem answered the reset (ATZE1)"
                                   : "the answer to the reset (ATZE1) was not its echo and OK";
        }
        m_outcome.reply = attached.reply;
        m_outcome.ms.total = driver.GetTickCount64() - start;
        return;
    }

    if ((m_state.readBefore || m_state.checkOnly) && ReadBefore()) {
        // The modem already holds the country: stored as after a set (never by a check).
        if (m_outcome.kind == RunOutcomeKind::AlreadySet && !m_state.checkOnly &&
            m_state.storeChoice) {
            m_outcome.stored = WriteBackChoice(dlg.m_nCountrySel, dlg.m_nPortSel);
        }
        m_outcome.ms.total = driver.GetTickCount64() - start;
        return;
    }

    const std::uint64_t setStart = driver.GetTickCount64();
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
    m_outcome.ms.set = driver.GetTickCount64() - setStart;
    m_outcome.reply = m_state.ReplyBuffer.data();

    if (std::strcmp(m_state.ReplyBuffer.data(), m_state.ExpectedReply.data()) != 0) {
        m_outcome.kind =
            m_outcome.reply.empty() ? RunOutcomeKind::NoAnswer : RunOutcomeKind::Refused;
        m_outcome.reason = m_outcome.reply.empty()
                               ? "the modem did not answer the country command"
                               : "the answer to the country command was not its echo and OK";
        m_outcome.ms.total = driver.GetTickCount64() - start;
        return;
    }
    if (m_state.readBack) {
        ReadBack();
    } else {
        m_outcome.kind = RunOutcomeKind::SetNotChecked;
    }
    // The modem holds the country now: the choice is stored before the operator is told, so a
    // hang-up or a kill while the message waits cannot lose it.
    if (m_outcome.CountrySet() && m_state.storeChoice) {
        m_outcome.stored = WriteBackChoice(dlg.m_nCountrySel, dlg.m_nPortSel);
    }
    m_outcome.ms.total = driver.GetTickCount64() - start;
}

GciReply CMainDlg::AskHeld(std::string& answer) {
    CommDriver& driver = m_port.Driver();
    const std::uint64_t start = driver.GetTickCount64();
    answer = Ask(m_port, *m_state.ring, kCurrentCountryQuery).bytes;
    m_outcome.ms.readBack += driver.GetTickCount64() - start;
    // Whatever came before the echo (an unsolicited line, bytes after the OK) is not the answer.
    const std::size_t echo = answer.find(kCurrentCountryQuery);
    return ParseCurrentCountry(echo == std::string::npos ? std::string_view(answer)
                                                         : std::string_view(answer).substr(echo),
                               kCurrentCountryQuery);
}

std::vector<std::pair<std::string, std::string>> CMainDlg::ListedCountries() const {
    std::vector<std::pair<std::string, std::string>> listed;
    const CountryDialogState& table = m_state.country;
    for (int row = 0; row < table.rows && row < kCountryTableRows; ++row) {
        const CountryEntry& entry = table.CountryTable[static_cast<std::size_t>(row)];
        listed.emplace_back(std::string(entry.name, strnlen(entry.name, sizeof entry.name)),
                            std::string(entry.code, strnlen(entry.code, sizeof entry.code)));
    }
    return listed;
}

bool CMainDlg::ReadBefore() {
    std::string answer;
    const GciReply held = AskHeld(answer);
    std::uint8_t wanted = 0;
    const bool wantedReads = ParseCountryCode(m_outcome.codeSent, wanted);
    if (held.kind == GciReply::Kind::Answered) {
        m_outcome.codeBefore = held.current;
    }
    const bool holds = m_outcome.codeBefore.has_value() && wantedReads && held.current == wanted;
    if (!holds && !m_state.checkOnly) {
        // Not held, or not known to be: the run sets it. An answer that does not read leaves
        // the set to decide, as a run without the question would.
        return false;
    }
    m_outcome.codeRead = m_outcome.codeBefore;  // nothing sent: what it held, it holds
    if (holds) {
        m_outcome.kind = RunOutcomeKind::AlreadySet;
        return true;
    }
    m_outcome.kind = RunOutcomeKind::WouldChange;
    m_outcome.reply = answer;
    if (held.kind != GciReply::Kind::Answered) {
        m_outcome.reason = held.kind == GciReply::Kind::Refused
                               ? "the modem answered ERROR to AT+GCI?"
                               : "AT+GCI?: " + held.problem;
    } else if (!wantedReads) {
        m_outcome.reason = "the code of the country is not a country code";
    } else {
        m_outcome.heldName = NameOfCode(held.current, ListedCountries()).name;
        m_outcome.reason = "the modem holds " + T35CodeText(held.current);
    }
    return true;
}

void CMainDlg::ReadBack() {
    std::string answer;
    const GciReply held = AskHeld(answer);
    std::uint8_t sent = 0;
    if (held.kind != GciReply::Kind::Answered || !ParseCountryCode(m_outcome.codeSent, sent)) {
        // A modem that cannot say what it holds keeps the verdict of its OK.
        m_outcome.kind = RunOutcomeKind::SetNotReported;
        m_outcome.reply = answer;
        m_outcome.reason =
            held.kind == GciReply::Kind::Refused    ? "the modem answered ERROR to AT+GCI?"
            : held.kind == GciReply::Kind::Answered ? "the code sent is not a country code"
                                                    : "AT+GCI?: " + held.problem;
        return;
    }
    m_outcome.codeRead = held.current;
    if (held.current == sent) {
        m_outcome.kind = RunOutcomeKind::SetVerified;
        return;
    }
    m_outcome.kind = RunOutcomeKind::HoldsOther;
    m_outcome.reply = answer;
    m_outcome.heldName = NameOfCode(held.current, ListedCountries()).name;
    m_outcome.reason = "the modem reads back " + T35CodeText(held.current);
}

// Both keys in one replacement of the file: no reader, and no run that dies halfway, ever sees
// one run's country with another's port.
bool CMainDlg::WriteBackChoice(std::int32_t countrySel, std::int32_t portSel) {
    char set[16];
    char com[16];
    std::snprintf(set, sizeof set, "%d", countrySel);
    std::snprintf(com, sizeof com, "%d",
                  m_state.givenPortNumber > kListedPorts ? m_state.givenPortNumber : portSel + 1);
    const ProfileKeyText keys[] = {{"CurrentSet", set}, {"CurrentCOM", com}};
    return m_profile.WritePrivateProfileKeys("Setting", keys, m_state.settingsPath);
}

}  // namespace countryset
