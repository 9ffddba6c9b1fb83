// The comm driver on Windows: COMn is the system's own port \\.\COMn, unless the settings file
// maps it to a serial server's port ("rfc2217://HOST:PORT", "socket://HOST:PORT").
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serial/line_comm_driver.h"

namespace countryset {

class Win32CommDriver : public LineCommDriver {
public:
    // Maps a port name ("COM3") to the device to open ("\\.\COM12", or a serial server's
    // "rfc2217://HOST:PORT" / "socket://HOST:PORT"); an empty name means "no such port". Without
    // one, COMn opens \\.\COMn (DevicePath).
    using PortResolver = std::function<std::string(std::string_view portName)>;

    explicit Win32CommDriver(PortResolver resolver = {}) : resolver_(std::move(resolver)) {}

    // "COMn" in any case, n from 1 to 256 without leading zeros -> L"\\.\COMn"; else "".
    static std::wstring DevicePath(std::string_view portName);

protected:
    std::unique_ptr<Line> OpenLine(std::string_view portName, PortOpenError& error) override;

private:
    // The wide path of a system device that portName opens; empty for none.
    static std::wstring WideDevice(std::string_view device);
    PortResolver resolver_;
};

}  // namespace countryset
