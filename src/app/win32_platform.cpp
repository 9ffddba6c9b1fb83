#include "app/platform.h"

#include "app/win32_arguments.h"
#include "serial/network_line.h"
#include "serial/win32_comm_driver.h"
#include "serial/win32_console_control.h"
#include "settings/port_devices.h"
#include "settings/win32_wide_text.h"
#include "ui/win32_console_attach.h"
#include "ui/win32_presenter.h"

namespace countryset {

SystemDriver MakeSystemDriver(PrivateProfile& profile, const char* settingsPath) {
    // COMn is the system's own device name here; [Ports] may name another Windows port.
    const auto device = [&profile, settingsPath](std::string_view portName) {
        return WindowsPortDevicePath(profile, settingsPath, portName);
    };
    auto driver = std::make_unique<Win32CommDriver>(device);
    Win32CommDriver* win32 = driver.get();
    return {std::move(driver), [win32] { win32->ReleaseAllPorts(); }, device};
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

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) {
        return {};
    }
    return win32::Narrow(std::wstring_view(name, size)).value_or(std::string());
}

std::string UserName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    if (!::GetUserNameW(name, &size) || size == 0) {
        return {};
    }
    // The size counts the terminating zero.
    return win32::Narrow(std::wstring_view(name, size - 1)).value_or(std::string());
}

// COMn is the name Windows keeps for the port itself.
std::string StableDeviceName(const std::string&, const std::string&) {
    return {};
}

}  // namespace countryset
