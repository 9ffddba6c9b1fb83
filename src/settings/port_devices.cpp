#include "settings/port_devices.h"

#include <cstdint>
#include <vector>

#include "seams/port_name.h"

namespace countryset {
namespace {

constexpr std::uint32_t kDevicePathSize = 4096;
constexpr std::string_view kDevicePrefix = "\\\\.\\";
// Longer than any port name a system gives.
constexpr std::size_t kMostDeviceName = 64;

std::string PortsEntry(PrivateProfile& profile, std::string_view settingsPath,
                       std::string_view portName) {
    if (portName.empty()) {
        return {};
    }
    std::vector<char> device(kDevicePathSize);
    const std::uint32_t n = profile.GetPrivateProfileString("Ports", portName, "", device.data(),
                                                            kDevicePathSize, settingsPath);
    return std::string(device.data(), n);
}

// A serial server's port ("rfc2217://HOST:PORT", "socket://HOST:PORT", scheme in any case):
// passed on as it stands on both systems; the driver reads the rest and says what is wrong.
bool NamesServer(std::string_view value) {
    const auto startsWith = [value](std::string_view scheme) {
        if (value.size() < scheme.size()) {
            return false;
        }
        for (std::size_t i = 0; i < scheme.size(); ++i) {
            const char c = value[i];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c) != scheme[i]) {
                return false;
            }
        }
        return true;
    };
    return startsWith("rfc2217://") || startsWith("socket://");
}

}  // namespace

std::string WindowsDeviceName(std::string_view value) {
    if (NamesServer(value)) {
        return std::string(value);
    }
    if (const int number = ComPortNumber(value); number != 0) {
        return std::string(kDevicePrefix) + ComPortName(number);
    }
    if (!value.starts_with(kDevicePrefix)) {
        return {};
    }
    const std::string_view name = value.substr(kDevicePrefix.size());
    if (name.empty() || name.size() > kMostDeviceName) {
        return {};
    }
    for (const char c : name) {
        const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
        if (!letter && !(c >= '0' && c <= '9') && c != '_') {
            return {};
        }
    }
    return std::string(value);
}

std::string PortDevicePath(PrivateProfile& profile, std::string_view settingsPath,
                           std::string_view portName) {
    const std::string entry = PortsEntry(profile, settingsPath, portName);
    if (entry.starts_with('/') || NamesServer(entry)) {
        return entry;
    }
    if (const int number = ComPortNumber(portName); number != 0 && number <= kListedPorts) {
        return "/dev/ttyS" + std::to_string(number - 1);
    }
    if (!portName.empty() && portName.front() == '/') {
        return std::string(portName);
    }
    return std::string();
}

std::string WindowsPortDevicePath(PrivateProfile& profile, std::string_view settingsPath,
                                  std::string_view portName) {
    if (std::string device = WindowsDeviceName(PortsEntry(profile, settingsPath, portName));
        !device.empty()) {
        return device;
    }
    if (const int number = ComPortNumber(portName); number != 0) {
        return std::string(kDevicePrefix) + ComPortName(number);
    }
    return std::string();
}

}  // namespace countryset
