// Which devices a port may open, by what the kernel says of a node's device number, without
// opening it: opening a device is already an act (a watchdog starts counting, a tape rewinds),
// so a port named by a settings file that others can write is checked before it is opened.
// And when a port cannot be had, why: the reason the operator is told.
#pragma once

#include <sys/stat.h>
#include <termios.h>

#include <optional>
#include <string>
#include <string_view>

#include "serial/port_problem.h"

namespace countryset {

enum class TtyDevice {
    NotDevice,    // not a character device
    NotTerminal,  // a character device of another class
    NoUart,       // a serial port slot with no chip behind it
    Terminal,     // a terminal: a serial port, a USB modem, a pseudo-terminal
    Unknown,      // nothing says (no sysfs, and no terminal driver of its number)
};

// Asks sysfs, and where sysfs cannot say, /proc/devices. driver, when given, gets the name of
// the kernel driver of a device found not to be a terminal.
TtyDevice ClassifyTtyDevice(const struct stat& info, std::string* driver = nullptr);

// The decision by major number, from the text of /proc/devices: Terminal when a character
// driver of that number is a terminal driver (tty, ttyS, ttyUSB, ttyACM, pts, ...);
// NotTerminal, with the first driver's name, when only others are; Unknown when none is.
TtyDevice ClassifyByMajor(std::string_view procDevices, unsigned major, std::string* driver);

// The process holding a whole-file lock on the node (device major:minor of its file system,
// and inode), from the text of /proc/locks; other than `self`.
std::optional<long> FlockHolder(std::string_view procLocks, unsigned major, unsigned minor,
                                unsigned long inode, long self);

// Opens path as a modem port: only a terminal, never the operator's own, read-write, without
// becoming its controlling terminal, non-blocking, locked (flock) and marked for exclusive use
// (TIOCEXCL). *original gets the line settings as found. On failure returns -1 and says why in
// error.
int OpenPortDevice(const std::string& path, termios* original, PortOpenError& error);

}  // namespace countryset
