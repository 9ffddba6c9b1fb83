#include "serial/posix_tty_device.h"

#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

namespace countryset {

TtyDevice ClassifyTtyDevice(const struct stat& info) {
    if (!S_ISCHR(info.st_mode)) {
        return TtyDevice::NotDevice;
    }
    const unsigned major = ::major(info.st_rdev);
    // Pseudo-terminal slaves, which sysfs does not list.
    if (major >= 136 && major <= 143) {
        return TtyDevice::Terminal;
    }
    struct stat sysfs {};
    if (::stat("/sys/dev/char", &sysfs) != 0 || !S_ISDIR(sysfs.st_mode)) {
        return TtyDevice::Unknown;
    }
    const std::string sys =
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(::minor(info.st_rdev));
    char resolved[PATH_MAX];
    if (::realpath((sys + "/subsystem").c_str(), resolved) == nullptr ||
        !std::string(resolved).ends_with("/tty")) {
        return TtyDevice::NotTerminal;
    }
    std::ifstream type(sys + "/type");
    int uart = -1;
    if (type >> uart && uart == 0) {
        return TtyDevice::NoUart;
    }
    return TtyDevice::Terminal;
}

}  // namespace countryset
