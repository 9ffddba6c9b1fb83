#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

#include "app/command_line.h"
#include "app/program_state.h"
#include "app/setup_app.h"
#include "serial/posix_comm_driver.h"
#include "serial/posix_process_signals.h"
#include "settings/port_devices.h"
#include "settings/profile_file.h"
#include "settings/settings_path.h"
#include "ui/console_presenter.h"
#include "ui/window_services.h"
#ifdef COUNTRYSET_HAVE_QT
#include "ui/qt/qt_module_loader.h"
#endif

using namespace countryset;

namespace {

// The console's input, ending as soon as its output can no longer be seen (stdout closed, or a
// pager quit): the dialog then ends as cancelled instead of acting on lines typed blind.
class ConsoleInput : public std::streambuf {
protected:
    int_type underflow() override {
        for (;;) {
            if (!std::cout.good()) {
                return traits_type::eof();
            }
            pollfd entries[2] = {{STDIN_FILENO, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
            if (::poll(entries, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return traits_type::eof();
            }
            if ((entries[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
                entries[0].revents == 0) {
                return traits_type::eof();
            }
            const ssize_t got = ::read(STDIN_FILENO, m_buffer, sizeof m_buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return traits_type::eof();
            }
            setg(m_buffer, m_buffer, m_buffer + got);
            return traits_type::to_int_type(m_buffer[0]);
        }
    }

private:
    char m_buffer[256];
};

}  // namespace

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
    // Before any other thread starts: the watcher and the toolkit's threads inherit the mask.
    ProcessSignals signals([&driver] { driver.ReleaseAllPorts(); });

    std::unique_ptr<Presenter> presenter;
#ifdef COUNTRYSET_HAVE_QT
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!commandLine.console && (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))) {
        // A display that cannot be opened, or a desktop module that is missing or unusable,
        // leaves the console instead of ending the program.
        std::string whyNot;
        presenter = LoadQtPresenter(QtModulePath(executable), argc, argv, &whyNot);
        if (presenter == nullptr) {
            std::cerr << appName << ": " << whyNot << "; using the text console\n";
        }
    }
#endif
    ConsoleInput consoleBuffer;
    std::istream consoleInput(&consoleBuffer);
    if (presenter == nullptr) {
        presenter = std::make_unique<ConsolePresenter>(consoleInput, std::cout);
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
