#include "app/port_list.h"

#include <string>

#include "serial/network_line.h"
#include "settings/port_devices.h"
#include "ui/shown_text.h"

// After our own headers: its macros would rename the profile operations they declare.
#include <windows.h>

namespace countryset {

// COMn is the system's own device name there: a port exists when the system knows the name.
// Asking the name space opens nothing.
int ListPorts(PrivateProfile& profile, const char* settingsPath, std::ostream& out) {
    out << "Port  Exists\n";
    for (int n = 1; n <= 8; ++n) {
        // A port mapped to a serial server is shown as mapped, without connecting to it.
        const std::string device = PortDevicePath(profile, settingsPath, "COM" + std::to_string(n));
        if (IsNetworkDevice(device)) {
            out << "COM" << n << "  network " << VisibleText(device) << "\n";
            continue;
        }
        const std::wstring name = L"COM" + std::to_wstring(n);
        wchar_t target[512];
        const bool exists = ::QueryDosDeviceW(name.c_str(), target, 512) != 0;
        out << "COM" << n << "  " << (exists ? "yes" : "no") << "\n";
    }
    out.flush();
    return 0;
}

}  // namespace countryset
