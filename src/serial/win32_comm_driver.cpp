#include "serial/win32_comm_driver.h"

#include <charconv>

#include "seams/port_name.h"
#include "serial/network_line.h"
#include "serial/win32_terminal_line.h"

namespace countryset {

std::wstring Win32CommDriver::DevicePath(std::string_view portName) {
    const int number = ComPortNumber(portName);
    return number == 0 ? std::wstring() : L"\\\\.\\COM" + std::to_wstring(number);
}

std::wstring Win32CommDriver::WideDevice(std::string_view device) {
    // Device names are ASCII; anything else names no port.
    std::wstring wide;
    for (const char c : device) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
            return {};
        }
        wide.push_back(static_cast<wchar_t>(c));
    }
    return wide;
}

std::unique_ptr<Line> Win32CommDriver::OpenLine(std::string_view portName, PortOpenError& error) {
    std::wstring path;
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
        path = WideDevice(device);
    } else {
        path = DevicePath(portName);
    }
    if (path.empty()) {
        error.problem = PortProblem::NoSuchDevice;
        return nullptr;
    }
    return OpenWin32TerminalLine(portName, path, error);
}

}  // namespace countryset
