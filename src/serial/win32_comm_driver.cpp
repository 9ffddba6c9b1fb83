#include "serial/win32_comm_driver.h"

#include <charconv>

#include "serial/network_line.h"
#include "serial/win32_terminal_line.h"

namespace countryset {

std::wstring Win32CommDriver::DevicePath(std::string_view portName) {
    if (portName.size() <= 3) {
        return {};
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = static_cast<char>(portName[i] & ~0x20);  // ASCII upper case
        if (c != "COM"[i]) {
            return {};
        }
    }
    const char* first = portName.data() + 3;
    const char* last = portName.data() + portName.size();
    unsigned number = 0;
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last || *first == '0' || number < 1 || number > 255) {
        return {};
    }
    return L"\\\\.\\COM" + std::to_wstring(number);
}

std::unique_ptr<Line> Win32CommDriver::OpenLine(std::string_view portName, PortOpenError& error) {
    if (resolver_) {
        std::string device;
        try {
            device = resolver_(portName);
        } catch (...) {
            return nullptr;
        }
        if (IsNetworkDevice(device)) {
            return OpenNetworkLine(device, error);
        }
    }
    const std::wstring path = DevicePath(portName);
    if (path.empty()) {
        error.problem = PortProblem::NoSuchDevice;
        return nullptr;
    }
    return OpenWin32TerminalLine(portName, path, error);
}

}  // namespace countryset
