// The application object: locates the settings file and runs the main window, whose
// initialisation does the program's one job.
#pragma once

#include <string_view>

#include "app/program_state.h"
#include "app/run_outcome.h"
#include "serial/comm_driver.h"
#include "settings/private_profile.h"
#include "ui/window_services.h"

namespace countryset {

class CSetupApp {
public:
    // Everything passed in must outlive the application object.
    CSetupApp(ProgramState& state, PrivateProfile& profile, CommDriver& driver,
              WindowServices& services);

    // Start-up, the main window's modal run, and its end. Returns false: the program ends.
    bool InitInstance(std::string_view executablePath);
    // Start-up's first part, for the modes that read the settings without the main window: the
    // settings path, and whether the file can be read. False, told to the operator, when not.
    bool FindSettings(std::string_view executablePath);

    // Whether the run set the country on the modem, and what the run came to.
    bool CountrySet() const { return m_outcome.CountrySet(); }
    const RunOutcome& Outcome() const { return m_outcome; }

private:
    ProgramState& m_state;
    PrivateProfile& m_profile;
    CommDriver& m_driver;
    WindowServices& m_services;
    RunOutcome m_outcome;
};

}  // namespace countryset
