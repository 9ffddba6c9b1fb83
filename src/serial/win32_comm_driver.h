// The comm driver on Windows: COMn is the system's own port \\.\COMn.
#pragma once

#include <string>
#include <string_view>

#include "serial/line_comm_driver.h"

namespace countryset {

class Win32CommDriver : public LineCommDriver {
public:
    // "COMn" in any case, n from 1 to 255 without leading zeros -> L"\\.\COMn"; else "".
    static std::wstring DevicePath(std::string_view portName);

protected:
    std::unique_ptr<Line> OpenLine(std::string_view portName, PortOpenError& error) override;
};

}  // namespace countryset
