// Network lines: a modem behind a terminal server, reached as "rfc2217://HOST:PORT" (Telnet
// with the Com Port Control option: the server sets its serial port as a local line would be
// set) or "socket://HOST:PORT" (raw TCP: bytes as they are, the server's own port settings).
#pragma once

#include <memory>
#include <string_view>

#include "serial/line.h"
#include "serial/port_problem.h"

namespace countryset {

// How long connecting may take, name look-up and, for RFC 2217, the option's agreement included.
inline constexpr int kNetworkConnectMs = 3000;
// How long a line waits for the server to confirm a setting before it takes it as set.
inline constexpr int kNetworkConfirmMs = 500;

// Whether a device text names a network line, from the text alone (no look-up, no connection).
bool IsNetworkDevice(std::string_view device);

// Connects; nullptr with error filled (its device the whole text) when the line cannot be had.
std::unique_ptr<Line> OpenNetworkLine(std::string_view device, PortOpenError& error);

}  // namespace countryset
