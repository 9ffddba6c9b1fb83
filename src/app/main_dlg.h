// The main window: owns the serial port object, allocates the receive ring when it is created,
// and runs the country setting from its initialisation, which always ends it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/gci_reply.h"
#include "app/program_state.h"
#include "app/run_outcome.h"
#include "seams/message_boxes.h"
#include "serial/comm_driver.h"
#include "serial/comm_port.h"
#include "serial/modem_attach.h"
#include "settings/private_profile.h"
#include "ui/country_dlg.h"
#include "ui/dialog.h"
#include "ui/icon.h"

namespace countryset {

class CMainDlg : public CDialog {
public:
    // Everything passed in must outlive the window.
    CMainDlg(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
             MessageBoxes& messages, CWnd* pParent = nullptr);

    // The whole job: choice, attach, the country command and its check, the read-back, the
    // write-back on success, the outcome told. Ends the window on every path; true when the
    // country was set.
    bool RunCountrySetting();
    // Attaches to the chosen port; tells nothing.
    AttachResult AttachModem();
    // Port number 1..8 from the chosen port position; any other position gives 1.
    void SelectPortNumber();

    CCommPort& Port() { return m_port; }
    // Whether the last run set the country, and whether its choice then reached the file.
    bool CountrySet() const { return m_outcome.CountrySet(); }
    // What the last run came to.
    const RunOutcome& Outcome() const { return m_outcome; }
    // The port's name and device, for outcomes.
    std::string PortName();
    std::string PortDevice();

protected:
    int OnCreate() override;
    bool OnInitDialog() override;

private:
    bool WriteBackChoice(std::int32_t countrySel, std::int32_t portSel);
    // Everything after the dialog, up to the write-back; the outcome is told by the caller.
    void SetCountry(const CCountryDlg& dlg);
    // After the modem's OK: what it reads back decides between the three outcomes of a set.
    void ReadBack();
    // A scripted run's question before the set: true when it decided the run (the modem holds
    // the country already, or --check asked only this).
    bool ReadBefore();
    // AT+GCI? and what its answer reads as; answer gets the bytes as received.
    GciReply AskHeld(std::string& answer);
    // The settings file's countries, each with its code text, for naming a code.
    std::vector<std::pair<std::string, std::string>> ListedCountries() const;

    ProgramState& m_state;
    PrivateProfile& m_profile;
    MessageBoxes& m_messages;
    CCommPort m_port;
    Icon m_hIcon;
    RunOutcome m_outcome;
};

}  // namespace countryset
