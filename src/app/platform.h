// What the program takes from the system it runs on: the comm driver, the window that presents
// the dialog, and the console. posix_platform.cpp and win32_platform.cpp make them, so that
// main() reads the same on both systems.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "serial/comm_driver.h"
#include "settings/profile_file.h"
#include "ui/presenter.h"

namespace countryset {

struct SystemDriver {
    std::unique_ptr<CommDriver> driver;
    // Puts back every port the driver holds as it was found; safe from any thread, for the end
    // of the process on a signal.
    std::function<void()> releaseAllPorts;
    // The device a port name opens, for telling the operator.
    std::function<std::string(std::string_view)> portDevice;
};

// The system's driver. Where the system has no port names of its own (Linux), a port's device is
// looked up in the settings file whose path is in the buffer settingsPath when the port is
// opened (the path is found after the driver is made).
SystemDriver MakeSystemDriver(PrivateProfile& profile, const char* settingsPath);

// Called before anything reads the arguments: on Windows argv comes in the ANSI code page, and
// is replaced by the UTF-8 of the system's own UTF-16 command line.
void PrepareArguments(int& argc, char**& argv);

// Called first, before anything is written: a program built without a console of its own
// (Windows) takes its caller's for every run that writes to one, which is every run but the
// dialog drawn in a window.
void PrepareConsole(const CommandLine& commandLine);

// The dialog drawn in a window, unless --console asks for the text console. nullptr when the
// dialog is to be presented on the text console; then *whyNot says why a window could not be
// had (empty when none was asked for), and the console is ready for that presenter.
std::unique_ptr<Presenter> MakeWindowPresenter(const CommandLine& commandLine,
                                               const std::string& executable, int& argc,
                                               char** argv, std::string* whyNot);

}  // namespace countryset
