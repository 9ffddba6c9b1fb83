// What a device node is, by what the kernel says of its device number, without opening it:
// opening a device is already an act (a watchdog starts counting, a tape rewinds), so a port
// named by a settings file that others can write is checked before it is opened.
#pragma once

#include <sys/stat.h>

namespace countryset {

enum class TtyDevice {
    NotDevice,    // not a character device
    NotTerminal,  // a character device of another class
    NoUart,       // a serial port slot with no chip behind it
    Terminal,     // a terminal: a serial port, a USB modem, a pseudo-terminal
    Unknown,      // the system does not say (no sysfs)
};

TtyDevice ClassifyTtyDevice(const struct stat& info);

}  // namespace countryset
