#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

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

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string UserName() {
    const uid_t uid = ::geteuid();
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

std::string StableDeviceName(const std::string& device, const std::string& idFolder) {
    char resolved[PATH_MAX];
    if (device.empty() || ::realpath(device.c_str(), resolved) == nullptr) {
        return {};
    }
    const std::string real = resolved;
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(idFolder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    // Sorted, so two links to one device give the same name on every run.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string link = idFolder + "/" + name;
        if (::realpath(link.c_str(), resolved) != nullptr && real == resolved) {
            return link;
        }
    }
    return {};
}

}  // namespace countryset
