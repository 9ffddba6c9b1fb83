// Which device a port name opens. Section "Ports" of the settings file may name one per port
// ("COM1=/dev/ttyUSB0"); without an entry COMn opens /dev/ttyS<n-1>.
#pragma once

#include <string>
#include <string_view>

#include "settings/private_profile.h"

namespace countryset {

// The device path for portName: the "Ports" entry when there is a non-empty one, else
// /dev/ttyS<n-1> for COMn (any n >= 1, "com" in any case), else a name that is already an
// absolute path as it stands. The empty text when the name maps to no device.
std::string PortDevicePath(PrivateProfile& profile, std::string_view settingsPath,
                           std::string_view portName);

}  // namespace countryset
