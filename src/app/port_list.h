// Finding the port: what each of COM1..COM8 opens and whether it could be used, and the serial
// devices that no port reaches yet. Opens no device and sends nothing.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "settings/private_profile.h"

namespace countryset {

// Writes the listing to out; json: one object a line, a port's or an unreached device's, instead
// of the table. Returns the exit status (0). On Linux the environment variable
// COUNTRYSET_DEV_ROOT, when set, stands in for /dev (for tests that build fake device folders).
int ListPorts(PrivateProfile& profile, const char* settingsPath, std::ostream& out,
              bool json = false);

// --all-ports: the ports whose device is there and is a serial port (as --list-ports shows
// them), in port order. Opens no device.
std::vector<std::string> PresentPorts(PrivateProfile& profile, const char* settingsPath);

}  // namespace countryset
