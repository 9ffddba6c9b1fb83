// The comm driver on Windows: COMn is the system's own port \\.\COMn, unless the settings file
// maps it to a serial server's port ("rfc2217://HOST:PORT", "socket://HOST:PORT").
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "serial/line_comm_driver.h"

namespace countryset {

class Win32CommDriver : public LineCommDriver {
public:
    // The device the settings file maps a port name to, where it maps one; only a serial
    // server's URL is taken from it here (the system names its own ports).
    using PortResolver = std::function<std::string(std::string_view portName)>;

    explicit Win32CommDriver(PortResolver resolver = {}) : resolver_(std::move(resolver)) {}

    // "COMn" in any case, n from 1 to 255 without leading zeros -> L"\\.\COMn"; else "".
    static std::wstring DevicePath(std::string_view portName);

protected:
    std::unique_ptr<Line> OpenLine(std::string_view portName, PortOpenError& error) override;

private:
    PortResolver resolver_;
};

}  // namespace countryset
