// Why a port could not be opened, as a value: the driver that failed the open fills it, the
// port logic carries it up, and the operator reads it as the second line under "Can't find
// modem at the selected COM port.".
#pragma once

#include <cstdint>
#include <string>

namespace countryset {

enum class PortProblem {
    None,
    NoSuchDevice,         // the device (or the system's port) does not exist
    NotMapped,            // a port name that opens no device without a [Ports] entry
    InUse,                // another program has the port
    ExclusiveLeftBehind,  // marked for exclusive use, and no running program is seen to hold it
    PermissionDenied,     // the operator may not open it
    NotTerminal,          // the device is not a terminal, or nothing vouches that it is one
    NoHardware,           // a serial port slot with no chip behind it
    OperatorsTerminal,    // the terminal the program itself runs in
    NotConnected,         // a wireless port whose far end did not answer the open
    SettingsRefused,      // the device refused the line settings
    // A network line ("rfc2217://HOST:PORT", "socket://HOST:PORT"); device is the whole text.
    HostNotFound,       // the name does not resolve
    ConnectionRefused,  // nothing listens there
    HostUnreachable,    // no route to the host or its network
    ConnectTimedOut,    // no answer within the connect bound
    NotRfc2217Server,   // the server refused the com-port option
    Other,              // anything else; `system` holds the system's own words
};

struct PortOpenError {
    PortProblem problem = PortProblem::None;
    // The device as the system knows it ("/dev/ttyUSB0", "COM3").
    std::string device;
    // InUse: the program holding it ("minicom, process 812"), when the system tells.
    std::string holder;
    // PermissionDenied: the group whose members may use the device, when one may.
    std::string group;
    // NotTerminal: what the device is instead ("its driver is 'mem'"), empty when nothing
    // says; Other: the system's error text.
    std::string detail;
};

// The reason in one line for the operator; empty for PortProblem::None.
std::string PortProblemText(const PortOpenError& error);

// The open errors the Windows port calls give, by their numbers, so the mapping is a table that
// is tested on every system.
inline constexpr std::uint32_t kWinErrorFileNotFound = 2;
inline constexpr std::uint32_t kWinErrorPathNotFound = 3;
inline constexpr std::uint32_t kWinErrorAccessDenied = 5;
inline constexpr std::uint32_t kWinErrorSharingViolation = 32;
inline constexpr std::uint32_t kWinErrorSemTimeout = 121;
inline constexpr std::uint32_t kWinErrorDeviceNotConnected = 1167;
PortProblem PortProblemOfWindowsError(std::uint32_t error);

}  // namespace countryset
