#include "app/port_list.h"

#include <string>

#include "app/json_text.h"
#include "serial/network_line.h"
#include "settings/port_devices.h"
#include "ui/shown_text.h"

// After our own headers: its macros would rename the profile operations they declare.
#include <windows.h>

namespace countryset {

namespace {

// COMn is the system's own device name there: a port exists when the system knows the name.
// Asking the name space opens nothing.
bool PortExists(int n) {
    const std::wstring name = L"COM" + std::to_wstring(n);
    wchar_t target[512];
    return ::QueryDosDeviceW(name.c_str(), target, 512) != 0;
}

}  // namespace

std::vector<std::string> PresentPorts(PrivateProfile& /*profile*/, const char* /*settingsPath*/) {
    std::vector<std::string> ports;
    for (int n = 1; n <= 8; ++n) {
        if (PortExists(n)) {
            ports.push_back("COM" + std::to_string(n));
        }
    }
    return ports;
}

int ListPorts(PrivateProfile& profile, const char* settingsPath, std::ostream& out, bool json) {
    if (!json) {
        out << "Port  Exists\n";
    }
    for (int n = 1; n <= 8; ++n) {
        // A port mapped to a serial server is shown as mapped, without connecting to it.
        const std::string device = PortDevicePath(profile, settingsPath, "COM" + std::to_string(n));
        if (IsNetworkDevice(device)) {
            if (json) {
                JsonWriter line;
                line.BeginObject().Key("port").String("COM" + std::to_string(n));
                line.Key("device").String(device).Key("exists").Null().Key("type").String(
                    "network");
                out << line.Key("held").Null().EndObject().Text() << "\n";
            } else {
                out << "COM" << n << "  network " << VisibleText(device) << "\n";
            }
            continue;
        }
        const bool exists = PortExists(n);
        if (json) {
            // What the system does not say without opening the port is null.
            const std::string port = "COM" + std::to_string(n);
            JsonWriter line;
            line.BeginObject().Key("port").String(port).Key("device").String("\\\\.\\" + port);
            line.Key("exists").Bool(exists).Key("type").Null().Key("held").Null().EndObject();
            out << line.Text() << "\n";
        } else {
            out << "COM" << n << "  " << (exists ? "yes" : "no") << "\n";
        }
    }
    out.flush();
    return 0;
}

}  // namespace countryset
