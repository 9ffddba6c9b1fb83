#include <cstdlib>

#include "app/platform.h"
#include "serial/posix_comm_driver.h"
#include "settings/port_devices.h"
#ifdef COUNTRYSET_HAVE_QT
#include "ui/qt/qt_module_loader.h"
#endif

namespace countryset {

SystemDriver MakeSystemDriver(PrivateProfile& profile, const char* settingsPath) {
    auto driver =
        std::make_unique<PosixCommDriver>([&profile, settingsPath](std::string_view portName) {
            return PortDevicePath(profile, settingsPath, portName);
        });
    PosixCommDriver* posix = driver.get();
    return {std::move(driver), [posix] { posix->ReleaseAllPorts(); },
            [&profile, settingsPath](std::string_view portName) {
                return PortDevicePath(profile, settingsPath, portName);
            }};
}

void PrepareArguments(int&, char**&) {}

void PrepareConsole(const CommandLine&) {}

std::unique_ptr<Presenter> MakeWindowPresenter([[maybe_unused]] const CommandLine& commandLine,
                                               [[maybe_unused]] const std::string& executable,
                                               [[maybe_unused]] int& argc,
                                               [[maybe_unused]] char** argv,
                                               [[maybe_unused]] std::string* whyNot) {
#ifdef COUNTRYSET_HAVE_QT
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!commandLine.console && (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))) {
        // A display that cannot be opened, or a desktop module that is missing or unusable,
        // leaves the console instead of ending the program.
        return LoadQtPresenter(QtModulePath(executable), argc, argv, whyNot);
    }
#endif
    return nullptr;
}

}  // namespace countryset
