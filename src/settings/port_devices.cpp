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

}  // namespace

std::string WindowsDeviceName(std::string_view value) {
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
    if (entry.starts_with('/')) {
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
