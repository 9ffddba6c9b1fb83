#include "app/setup_app.h"

#include "app/main_dlg.h"
#include "settings/settings_path.h"

namespace countryset {

CSetupApp::CSetupApp(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
                     WindowServices& services)
    : m_state(state), m_profile(profile), m_driver(driver), m_services(services) {}

bool CSetupApp::InitInstance(std::string_view executablePath) {
    if (!FindSettings(executablePath)) {
        return false;
    }

    {
        CMainDlg dlg(m_state, m_profile, m_driver, m_services);
        m_services.SetMainWnd(&dlg);
        dlg.DoModal();
        m_outcome = dlg.Outcome();
        m_services.SetMainWnd(nullptr);
    }
    return false;
}

bool CSetupApp::FindSettings(std::string_view executablePath) {
    if (executablePath.empty()) {
        // Guessing (the current folder, the command's name) could read and later write some
        // other file: refuse to start.
        m_services.AfxMessageBox(
            "Can't start: the program cannot tell where its own file lies, so it cannot find its "
            "settings file beside it.");
        return false;
    }
    if (!MakeSettingsPath(executablePath, m_state.settingsPath)) {
        // Cutting the path would read, and later write, some other file: refuse to start.
        m_services.AfxMessageBox(
            "Can't start: the path of the settings file would be longer than 255 characters. "
            "Move the program to a folder with a shorter path.\n" +
            std::string(executablePath));
        return false;
    }

    // A file that is there but cannot be read would offer no countries, and its defaults could
    // mislead: the operator learns which file and why, before any dialog.
    if (const std::string problem = m_profile.ReadProblem(m_state.settingsPath); !problem.empty()) {
        m_services.MessageBox(std::string("The settings file ") + m_state.settingsPath +
                                  " cannot be read: " + problem + ".",
                              "Error", MB_ICONERROR);
        return false;
    }

    return true;
}

}  // namespace countryset
