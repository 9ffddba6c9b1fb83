#include "app/setup_app.h"

#include "app/main_dlg.h"
#include "settings/settings_path.h"

namespace countryset {

CSetupApp::CSetupApp(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                     WindowServices& services)
    : m_state(state), m_profile(profile), m_driver(driver), m_services(services) {}

bool CSetupApp::InitInstance(std::string_view executablePath) {
    if (!MakeSettingsPath(executablePath, m_state.settingsPath)) {
        // Cutting the path would read, and later write, some other file: refuse to start.
        m_services.AfxMessageBox(
            "Can't start: the path of the settings file would be longer than 255 characters. "
            "Move the program to a folder with a shorter path.\n" +
            std::string(executablePath));
        return false;
    }

    {
        CMainDlg dlg(m_state, m_profile, m_driver, m_services);
        m_pMainWnd = &dlg;
        m_services.SetMainWnd(&dlg);
        dlg.DoModal();
        m_countrySet = dlg.CountrySet();
        m_services.SetMainWnd(nullptr);
        m_pMainWnd = nullptr;
    }
    return false;
}

}  // namespace countryset
