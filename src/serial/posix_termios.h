// The line settings record (DCB) and the terminal's settings (termios), each in the other's
// terms: what the POSIX driver reads back and what it applies.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "serial/comm_driver.h"

namespace countryset {

// Bit rate of a termios speed code; 0 for one this table does not know.
std::uint32_t RateOf(speed_t speed);
std::optional<speed_t> SpeedOf(std::uint32_t rate);

// The record as a terminal's settings show it. modemLines: TIOCMGET's bits, when the device
// has modem-control lines (a pseudo-terminal has none).
DCB DcbOfTermios(const termios& settings, std::optional<int> modemLines);

// Writes the record's bit rate, framing, parity and flow control into settings, raw otherwise;
// false (settings untouched) when the record asks for what termios cannot express.
bool ApplyDcb(const DCB& dcb, termios& settings);

}  // namespace countryset
