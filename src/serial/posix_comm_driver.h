// The comm driver on Linux: each port name opens what the settings file maps it to, a terminal
// device (a real serial port, a USB adapter, a pseudo-terminal) or a serial server's port
// ("rfc2217://HOST:PORT", "socket://HOST:PORT").
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "serial/line_comm_driver.h"

namespace countryset {

class PosixCommDriver : public LineCommDriver {
public:
    // Maps a port name ("COM3") to the device to open; an empty path means "no such port".
    using PortResolver = std::function<std::string(std::string_view portName)>;

    // The settings file says which device each port is (settings/port_devices.h).
    explicit PosixCommDriver(PortResolver resolver);

protected:
    std::unique_ptr<Line> OpenLine(std::string_view portName, PortOpenError& error) override;

private:
    PortResolver resolver_;
};

}  // namespace countryset
