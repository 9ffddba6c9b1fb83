#include "serial/port_problem.h"

namespace countryset {

std::string PortProblemText(const PortOpenError& e) {
    const std::string& d = e.device.empty() ? std::string("The port") : e.device;
    switch (e.problem) {
        case PortProblem::None:
            return {};
        case PortProblem::NoSuchDevice:
            return d + " does not exist: is the modem plugged in, and is this the right port?";
        case PortProblem::NotMapped:
            return d +
                   " has no entry in [Ports] of the settings file: above COM8 a port opens only "
                   "the device named there (for example " +
                   d + "=/dev/ttyUSB0).";
        case PortProblem::InUse:
            return d + " is in use by another program" +
                   (e.holder.empty() ? std::string() : " (" + e.holder + ")") +
                   ": close it and try again.";
        case PortProblem::ExclusiveLeftBehind:
            return d +
                   " is still marked for exclusive use, but no running program is seen to hold "
                   "it: a program that ended left the mark. It goes when the device is closed "
                   "everywhere (end what still has it open, see fuser -v " +
                   d + ", or unplug the adapter); a run as root clears it too.";
        case PortProblem::PermissionDenied:
            if (e.group.empty()) {
                return "Permission denied on " + d + ": ask the administrator for access.";
            }
            return "Permission denied on " + d + ": join the group '" + e.group +
                   "' (sudo usermod -aG " + e.group + " $USER), then log in again.";
        case PortProblem::NotTerminal:
            if (e.detail.empty()) {
                return "Nothing says that " + d +
                       " is a terminal (the system names no terminal driver for it), so it was "
                       "not opened: check [Ports] in the settings file.";
            }
            return d + " is not a terminal (" + e.detail +
                   "), so it was not opened: check [Ports] in the settings file.";
        case PortProblem::NoHardware:
            return d + " has no serial port hardware behind it.";
        case PortProblem::OperatorsTerminal:
            return d + " is the terminal this program runs in, not a modem.";
        case PortProblem::NotConnected:
            return d +
                   " did not connect: a wireless port whose device is off, out of range or "
                   "not paired?";
        case PortProblem::SettingsRefused:
            return d +
                   " refused the line settings (38400 bit/s, 8 data bits, no parity, 1 stop "
                   "bit).";
        case PortProblem::HostNotFound:
            return d + ": the host name is not known (check [Ports] in the settings file).";
        case PortProblem::ConnectionRefused:
            return d +
                   " refused the connection: is the serial server running, and is this its "
                   "port?";
        case PortProblem::HostUnreachable:
            return d + " cannot be reached: no route to the host.";
        case PortProblem::ConnectTimedOut:
            return d + " did not answer the connection in time.";
        case PortProblem::NotRfc2217Server:
            return d + " is not an RFC 2217 server.";
        case PortProblem::Other:
            return d + " could not be opened" +
                   (e.detail.empty() ? std::string(".") : ": " + e.detail + ".");
    }
    return {};
}

PortProblem PortProblemOfWindowsError(std::uint32_t error) {
    switch (error) {
        case kWinErrorFileNotFound:
        case kWinErrorPathNotFound:
            return PortProblem::NoSuchDevice;
        // A port opens for one program at a time: a refusal is another program holding it.
        case kWinErrorAccessDenied:
        case kWinErrorSharingViolation:
            return PortProblem::InUse;
        case kWinErrorSemTimeout:
        case kWinErrorDeviceNotConnected:
            return PortProblem::NotConnected;
        default:
            return PortProblem::Other;
    }
}

}  // namespace countryset
