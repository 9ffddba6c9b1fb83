#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/program_state.h"
#include "app/setup_app.h"
#include "serial/posix_comm_driver.h"
#include "settings/port_devices.h"
#include "settings/profile_file.h"
#include "settings/settings_path.h"
#include "ui/console_presenter.h"
#include "ui/window_services.h"
#ifdef COUNTRYSET_HAVE_QT
#include "ui/qt/qt_presenter.h"
#endif

using namespace countryset;

int main(int argc, char** argv) {
    const std::string executable = ExecutablePath();
    const std::string appName = ApplicationName(
        !executable.empty() ? executable : (argc > 0 && argv[0] ? argv[0] : "countryset"));

    const CommandLine commandLine = ParseCommandLine(argc, argv);
    switch (commandLine.action) {
        case CommandLine::Action::Help:
            std::cout << HelpText(appName);
            return 0;
        case CommandLine::Action::Version:
            std::cout << VersionText();
            return 0;
        case CommandLine::Action::UsageError:
            std::cerr << appName << ": " << commandLine.error << "\n" << UsageText(appName);
            return 2;
        case CommandLine::Action::Run:
            break;
    }

    ProgramState state;
    state.appName = appName;
    ProfileFile profile;
    PosixCommDriver driver([&](std::string_view portName) {
        return PortDevicePath(profile, state.settingsPath, portName);
    });

    std::unique_ptr<Presenter> presenter;
#ifdef COUNTRYSET_HAVE_QT
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!commandLine.console && (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))) {
        // A display that cannot be opened leaves the console, instead of ending the program.
        std::string whyNot;
        presenter = CreateQtPresenter(argc, argv, &whyNot);
        if (presenter == nullptr) {
            std::cerr << appName << ": " << whyNot << "; using the text console\n";
        }
    }
#endif
    if (presenter == nullptr) {
        presenter = std::make_unique<ConsolePresenter>(std::cin, std::cout);
    }
    WindowServices services(appName, *presenter);

    bool countrySet = false;
    {
        CSetupApp app(state, profile, driver, services);
        app.InitInstance(executable);
        countrySet = app.CountrySet();
    }
    services.FlushPendingMessages();
    return countrySet ? 0 : 1;
}
