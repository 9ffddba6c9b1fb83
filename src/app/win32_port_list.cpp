#include "app/port_list.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/json_text.h"
#include "seams/port_name.h"
#include "serial/network_line.h"
#include "settings/port_devices.h"
#include "ui/shown_text.h"

// After our own headers: its macros would rename the profile operations they declare.
#include <windows.h>
// The device installer's headers after windows.h, as they expect.
#include <setupapi.h>

namespace countryset {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
// The device classes whose members name a port: ports, and modems (a USB modem is one).
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kModemClass = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(std::max(size, 0)), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                              size, nullptr, nullptr);
    }
    return text;
}

// A name the system gives a port, read from a registry value or a device property: up to its
// first zero, nothing when it is not text.
std::wstring TextValue(const std::vector<wchar_t>& buffer, DWORD bytes) {
    const std::size_t chars = std::min<std::size_t>(bytes / sizeof(wchar_t), buffer.size());
    const auto end =
        std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(chars), L'\0');
    return std::wstring(buffer.begin(), end);
}

bool NameExists(const std::string& name) {
    const std::wstring wide(name.begin(), name.end());
    wchar_t target[512];
    return ::QueryDosDeviceW(wide.c_str(), target, 512) != 0;
}

// Every name in the system's device name space, or nothing when it cannot be read.
std::vector<std::string> DosDeviceNames() {
    std::vector<wchar_t> buffer(16384);
    while (::QueryDosDeviceW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())) == 0) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= (1u << 22)) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    std::vector<std::string> names;
    for (std::size_t at = 0; at < buffer.size() && buffer[at] != L'\0';) {
        const std::wstring name(&buffer[at]);
        names.push_back(Utf8(name));
        at += name.size() + 1;
    }
    return names;
}

// The system's map of serial devices to the names they go by ("\Device\Serial0" -> "COM1").
std::vector<std::string> SerialMapNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD nameChars = 256;
        std::vector<wchar_t> data(256);
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LONG status = ::RegEnumValueW(key, index, valueName, &nameChars, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data.data()), &bytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && type == REG_SZ) {
            names.push_back(Utf8(TextValue(data, bytes)));
        }
    }
    ::RegCloseKey(key);
    return names;
}

// Port name -> the friendly name the device installer gives it, for the present devices of
// the port and modem classes.
std::map<std::string, std::string> FriendlyNames() {
    std::map<std::string, std::string> names;
    for (const GUID& deviceClass : {kPortsClass, kModemClass}) {
        const HDEVINFO devices =
            ::SetupDiGetClassDevsW(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
        if (devices == INVALID_HANDLE_VALUE) {
            continue;
        }
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
            const HKEY key =
                ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE) {
                continue;
            }
            std::vector<wchar_t> port(256);
            DWORD type = 0;
            DWORD bytes = static_cast<DWORD>(port.size() * sizeof(wchar_t));
            const bool named =
                ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                   reinterpret_cast<BYTE*>(port.data()), &bytes) == ERROR_SUCCESS &&
                type == REG_SZ;
            ::RegCloseKey(key);
            if (!named) {
                continue;
            }
            std::vector<wchar_t> friendly(512);
            DWORD friendlyBytes = 0;
            if (::SetupDiGetDeviceRegistryPropertyW(
                    devices, &device, SPDRP_FRIENDLYNAME, &type,
                    reinterpret_cast<BYTE*>(friendly.data()),
                    static_cast<DWORD>(friendly.size() * sizeof(wchar_t)), &friendlyBytes) &&
                type == REG_SZ) {
                names[Utf8(TextValue(port, bytes))] = Utf8(TextValue(friendly, friendlyBytes));
            } else {
                names[Utf8(TextValue(port, bytes))];
            }
        }
        ::SetupDiDestroyDeviceInfoList(devices);
    }
    return names;
}

// COMn by number, then other names as the system spells them.
bool PortOrder(const std::string& a, const std::string& b) {
    const int na = ComPortNumber(a);
    const int nb = ComPortNumber(b);
    if ((na != 0) != (nb != 0)) {
        return na != 0;
    }
    return na != 0 ? na < nb : a < b;
}

// The comparable form of a device: "\\.\com12" and "COM12" are one port.
std::string PortKey(const std::string& device) {
    std::string name =
        device.starts_with(kDevicePrefix) ? device.substr(kDevicePrefix.size()) : device;
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return name;
}

}  // namespace

// COMn is the system's own device name here; [Ports] may point one of the list's ports at any
// other. A port exists when the system knows its name: asking the name space opens nothing.
std::vector<std::string> PresentPorts(PrivateProfile& profile, const char* settingsPath) {
    std::vector<std::string> ports;
    for (int n = 1; n <= kListedPorts; ++n) {
        const std::string port = ComPortName(n);
        if (NameExists(PortKey(WindowsPortDevicePath(profile, settingsPath, port)))) {
            ports.push_back(port);
        }
    }
    return ports;
}

int ListPorts(PrivateProfile& profile, const char* settingsPath, std::ostream& out, bool json) {
    const auto pad = [](std::string text, std::size_t width) {
        text.resize(std::max(text.size(), width), ' ');
        return text;
    };
    std::vector<std::string> freePorts;
    std::vector<std::string> reached;
    if (!json) {
        out << "Port  Device            Exists\n";
    }
    for (int n = 1; n <= kListedPorts; ++n) {
        const std::string port = ComPortName(n);
        const std::string device = WindowsPortDevicePath(profile, settingsPath, port);
        // A port mapped to a serial server is shown as mapped, without connecting to it.
        if (IsNetworkDevice(device)) {
            if (json) {
                JsonWriter line;
                line.BeginObject().Key("port").String(port);
                line.Key("device").String(device).Key("exists").Null().Key("type").String(
                    "network");
                out << line.Key("held").Null().EndObject().Text() << "\n";
            } else {
                out << port << "  " << pad(VisibleText(device), 16) << "  network\n";
            }
            continue;
        }
        const bool exists = NameExists(PortKey(device));
        if (json) {
            // What the system does not say without opening the port is null.
            JsonWriter line;
            line.BeginObject().Key("port").String(port).Key("device").String(device);
            line.Key("exists").Bool(exists).Key("type").Null().Key("held").Null().EndObject();
            out << line.Text() << "\n";
        } else {
            out << port << "  " << pad(VisibleText(device), 16) << "  " << (exists ? "yes" : "no")
                << "\n";
        }
        if (exists) {
            reached.push_back(PortKey(device));
        } else {
            freePorts.push_back(port);
        }
    }

    const std::map<std::string, std::string> friendly = FriendlyNames();
    std::vector<std::string> ports;
    const auto add = [&ports](const std::string& name) {
        if (!name.empty() && std::find_if(ports.begin(), ports.end(), [&](const auto& known) {
                                 return PortKey(known) == PortKey(name);
                             }) == ports.end()) {
            ports.push_back(name);
        }
    };
    for (const std::string& name : DosDeviceNames()) {
        if (ComPortNumber(name) != 0) {
            add(name);
        }
    }
    for (const std::string& name : SerialMapNames()) {
        add(name);
    }
    for (const auto& [name, shown] : friendly) {
        add(name);
    }
    std::sort(ports.begin(), ports.end(), PortOrder);

    if (!json) {
        out << "\nPorts on this system:" << (ports.empty() ? " none\n" : "\n");
    }
    for (const std::string& name : ports) {
        const auto found = friendly.find(name);
        const std::string shown = found != friendly.end() ? found->second : std::string();
        const bool isReached =
            std::find(reached.begin(), reached.end(), PortKey(name)) != reached.end();
        std::string port = "COMn";
        if (!isReached) {
            // A port of the list that [Ports] points elsewhere is best reached as itself.
            auto pick = std::find(freePorts.begin(), freePorts.end(), PortKey(name));
            if (pick == freePorts.end()) {
                pick = std::find_if(freePorts.begin(), freePorts.end(),
                                    [](const std::string& free) { return !free.empty(); });
            }
            if (pick != freePorts.end()) {
                port = std::exchange(*pick, std::string());  // taken
            }
        }
        const std::string value =
            ComPortNumber(name) != 0 ? PortKey(name) : std::string(kDevicePrefix) + name;
        if (json) {
            // As a device no port reaches on Linux: the [Ports] value that reaches it.
            if (!isReached) {
                JsonWriter line;
                line.BeginObject().Key("port").Null().Key("device").String(value);
                line.Key("stable_name").String(value).Key("free_port");
                if (port != "COMn") {
                    line.String(port);
                } else {
                    line.Null();
                }
                out << line.EndObject().Text() << "\n";
            }
            continue;
        }
        out << "  " << VisibleText(name);
        if (!shown.empty()) {
            out << std::string(std::max<std::size_t>(name.size(), 6) - name.size() + 2, ' ')
                << VisibleText(shown);
        }
        out << "\n";
        if (!isReached) {
            out << "      [Ports] " << port << "=" << VisibleText(value) << "\n";
        }
    }
    out.flush();
    return 0;
}

}  // namespace countryset
