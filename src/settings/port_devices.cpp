#include "settings/port_devices.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace countryset {
namespace {

constexpr std::uint32_t kDevicePathSize = 4096;

// n - 1 for "COMn" with n >= 1, nothing otherwise.
std::optional<std::uint64_t> SerialIndex(std::string_view name) {
    if (name.size() < 4 || name.size() > 13) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if ((name[i] | 0x20) != "com"[i]) {
            return std::nullopt;
        }
    }
    std::uint64_t n = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n == 0) {
        return std::nullopt;
    }
    return n - 1;
}

}  // namespace

std::string PortDevicePath(PrivateProfile& profile, std::string_view settingsPath,
                           std::string_view portName) {
    if (!portName.empty()) {
        std::vector<char> device(kDevicePathSize);
        const std::uint32_t n = profile.GetPrivateProfileString(
            "Ports", portName, "", device.data(), kDevicePathSize, settingsPath);
        if (n > 0) {
            return std::string(device.data(), n);
        }
    }
    if (const std::optional<std::uint64_t> index = SerialIndex(portName)) {
        return "/dev/ttyS" + std::to_string(*index);
    }
    if (!portName.empty() && portName.front() == '/') {
        return std::string(portName);
    }
    return std::string();
}

}  // namespace countryset
