// The terminal line on Linux: a serial port, a USB adapter or a pseudo-terminal, through termios.
#pragma once

#include <memory>
#include <string>

#include "serial/line.h"
#include "serial/port_problem.h"

namespace countryset {

// Opens the device as posix_tty_device.h's OpenPortDevice does (a terminal only, exclusive,
// never the operator's own), raw and without flow control; nullptr, with error filled, when it
// cannot be had.
std::unique_ptr<Line> OpenPosixTerminalLine(const std::string& path, PortOpenError& error);

}  // namespace countryset
