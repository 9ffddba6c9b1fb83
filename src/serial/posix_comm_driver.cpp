#include "serial/posix_comm_driver.h"

#include "seams/port_name.h"
#include "serial/network_line.h"
#include "serial/posix_terminal_line.h"

namespace countryset {

PosixCommDriver::PosixCommDriver(PortResolver resolver) : resolver_(std::move(resolver)) {}

std::unique_ptr<Line> PosixCommDriver::OpenLine(std::string_view portName, PortOpenError& error) {
    std::string path;
    try {
        path = resolver_(portName);
    } catch (...) {
        return nullptr;
    }
    if (path.empty()) {
        error.problem =
            ComPortNumber(portName) != 0 ? PortProblem::NotMapped : PortProblem::NoSuchDevice;
        return nullptr;
    }
    if (IsNetworkDevice(path)) {
        return OpenNetworkLine(path, error);
    }
    return OpenPosixTerminalLine(path, error);
}

}  // namespace countryset
