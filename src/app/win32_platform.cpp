#include "app/platform.h"

#include "app/win32_arguments.h"
#include "serial/network_line.h"
#include "serial/win32_comm_driver.h"
#include "serial/win32_console_control.h"
#include "settings/port_devices.h"
#include "ui/win32_console_attach.h"
#include "ui/win32_presenter.h"

namespace countryset {

SystemDriver MakeSystemDriver(PrivateProfile& profile, const char* settingsPath) {
    // COMn is the system's own device name here; the settings file maps a port only to a serial
    // server.
    auto networkPort = [&profile, settingsPath](std::string_view portName) {
        std::string device = PortDevicePath(profile, settingsPath, portName);
        return IsNetworkDevice(device) ? device : std::string();
    };
    auto driver = std::make_unique<Win32CommDriver>(networkPort);
    Win32CommDriver* win32 = driver.get();
    return {std::move(driver), [win32] { win32->ReleaseAllPorts(); },
            [networkPort](std::string_view portName) {
                std::string device = networkPort(portName);
                return device.empty() ? "\\\\.\\" + std::string(portName) : device;
            }};
}

void PrepareArguments(int& argc, char**& argv) {
    // For the whole run: argv points into it.
    static const Utf8Arguments arguments(argc, argv);
}

void PrepareConsole(const CommandLine& commandLine) {
    // Built without a console of its own: whatever is not the native dialog (help, usage errors,
    // the modes without a dialog, a trace on stderr) writes to the caller's console.
    if (commandLine.action != CommandLine::Action::Run ||
        commandLine.mode != CommandLine::Mode::Dialog || commandLine.console ||
        (commandLine.trace && commandLine.traceFile.empty())) {
        UseConsoleWindow(RenewConsoleControlHandler);
    }
}

std::unique_ptr<Presenter> MakeWindowPresenter(const CommandLine& commandLine, const std::string&,
                                               int&, char**, std::string* whyNot) {
    // The native dialog; --console, or a session that cannot open windows, takes the console of
    // the program that started this one (or a new one): the program itself is built without one.
    std::unique_ptr<Presenter> presenter;
    if (!commandLine.console) {
        presenter = CreateWin32Presenter(whyNot);
    }
    if (presenter == nullptr) {
        UseConsoleWindow(RenewConsoleControlHandler);
    }
    return presenter;
}

}  // namespace countryset
