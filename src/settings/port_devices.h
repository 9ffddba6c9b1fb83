// Which device a port name opens. Section "Ports" of the settings file may name one per port
// ("COM1=/dev/ttyUSB0" for Linux, "COM1=COM12" or "COM1=\\.\CNCA0" for Windows); each system
// takes the entries written for it and passes over the others, so one file serves both.
#pragma once

#include <string>
#include <string_view>

#include "settings/private_profile.h"

namespace countryset {

// Linux: the "Ports" entry for portName when it is an absolute path (others are left to
// Windows), else /dev/ttyS<n-1> for COM1..COM8 ("com" in any case), else a name that is already
// an absolute path as it stands. The empty text when the name maps to no device: COM9 and above
// without an entry among them, as no rule says which device stands there.
std::string PortDevicePath(PrivateProfile& profile, std::string_view settingsPath,
                           std::string_view portName);

// Windows: the "Ports" entry for portName when it names a Windows port, else \\.\COMn for
// COM1..COM256. The empty text for any other name.
std::string WindowsPortDevicePath(PrivateProfile& profile, std::string_view settingsPath,
                                  std::string_view portName);

// The device a "Ports" value names on Windows: "COM12" (any case) as \\.\COM12, and a device
// name in the system's name space as written ("\\.\COM12", "\\.\CNCA0": letters, digits and
// "_" after the prefix). The empty text for anything else, POSIX paths among them.
std::string WindowsDeviceName(std::string_view value);

}  // namespace countryset
