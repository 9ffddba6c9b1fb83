#include "serial/win32_comm_codes.h"

namespace countryset::comm_codes {

namespace {

// One seam value and the system's value for it.
struct Code {
    std::uint32_t seam;
    std::uint32_t system;
};

constexpr Code kEventBits[] = {{kEvRxChar, EV_RXCHAR}};
constexpr Code kPurgeBits[] = {{kPurgeTxAbort, PURGE_TXABORT},
                               {kPurgeRxAbort, PURGE_RXABORT},
                               {kPurgeTxClear, PURGE_TXCLEAR},
                               {kPurgeRxClear, PURGE_RXCLEAR}};
constexpr Code kEscapes[] = {
    {kSetRts, SETRTS}, {kClrRts, CLRRTS}, {kSetDtr, SETDTR}, {kClrDtr, CLRDTR}};
constexpr Code kParities[] = {
    {kNoParity, NOPARITY}, {kOddParity, ODDPARITY}, {kEvenParity, EVENPARITY}};
constexpr Code kStopBits[] = {{kOneStopBit, ONESTOPBIT}, {kTwoStopBits, TWOSTOPBITS}};
constexpr Code kDtrControls[] = {{kDtrControlDisable, DTR_CONTROL_DISABLE},
                                 {kDtrControlEnable, DTR_CONTROL_ENABLE},
                                 {kDtrControlHandshake, DTR_CONTROL_HANDSHAKE}};
constexpr Code kRtsControls[] = {{kRtsControlDisable, RTS_CONTROL_DISABLE},
                                 {kRtsControlEnable, RTS_CONTROL_ENABLE},
                                 {kRtsControlHandshake, RTS_CONTROL_HANDSHAKE}};

template <std::size_t N>
bool ToSystemBits(const Code (&codes)[N], std::uint32_t seam, DWORD* system) {
    DWORD result = 0;
    for (const Code& code : codes) {
        if ((seam & code.seam) != 0) {
            result |= code.system;
            seam &= ~code.seam;
        }
    }
    *system = result;
    return seam == 0;  // a bit the seam does not name is refused, not passed on blind
}

template <std::size_t N>
std::uint32_t FromSystemBits(const Code (&codes)[N], DWORD system) {
    std::uint32_t result = 0;
    for (const Code& code : codes) {
        if ((system & code.system) != 0) {
            result |= code.seam;
        }
    }
    return result;
}

// Codes the seam has no name for (mark parity, one and a half stop bits, RTS toggle) pass
// through as numbers: the driver reports them and the port logic keeps them.
template <std::size_t N>
std::uint32_t ToSystemCode(const Code (&codes)[N], std::uint32_t seam) {
    for (const Code& code : codes) {
        if (code.seam == seam) {
            return code.system;
        }
    }
    return seam;
}

template <std::size_t N>
std::uint32_t FromSystemCode(const Code (&codes)[N], std::uint32_t system) {
    for (const Code& code : codes) {
        if (code.system == system) {
            return code.seam;
        }
    }
    return system;
}

}  // namespace

bool EventsToSystem(std::uint32_t seam, DWORD* system) {
    return ToSystemBits(kEventBits, seam, system);
}

std::uint32_t EventsFromSystem(DWORD system) {
    return FromSystemBits(kEventBits, system);
}

bool PurgeToSystem(std::uint32_t seam, DWORD* system) {
    return ToSystemBits(kPurgeBits, seam, system);
}

bool EscapeToSystem(std::uint32_t seam, DWORD* system) {
    for (const Code& code : kEscapes) {
        if (code.seam == seam) {
            *system = code.system;
            return true;
        }
    }
    return false;
}

DCB FromSystemDcb(const ::DCB& system) {
    DCB dcb;
    dcb.BaudRate = system.BaudRate;
    dcb.fBinary = system.fBinary;
    dcb.fParity = system.fParity;
    dcb.fOutxCtsFlow = system.fOutxCtsFlow;
    dcb.fOutxDsrFlow = system.fOutxDsrFlow;
    dcb.fDtrControl = FromSystemCode(kDtrControls, system.fDtrControl) & 3u;
    dcb.fDsrSensitivity = system.fDsrSensitivity;
    dcb.fTXContinueOnXoff = system.fTXContinueOnXoff;
    dcb.fOutX = system.fOutX;
    dcb.fInX = system.fInX;
    dcb.fErrorChar = system.fErrorChar;
    dcb.fNull = system.fNull;
    dcb.fRtsControl = FromSystemCode(kRtsControls, system.fRtsControl) & 3u;
    dcb.fAbortOnError = system.fAbortOnError;
    dcb.XonLim = system.XonLim;
    dcb.XoffLim = system.XoffLim;
    dcb.ByteSize = system.ByteSize;
    dcb.Parity = static_cast<std::uint8_t>(FromSystemCode(kParities, system.Parity));
    dcb.StopBits = static_cast<std::uint8_t>(FromSystemCode(kStopBits, system.StopBits));
    dcb.XonChar = system.XonChar;
    dcb.XoffChar = system.XoffChar;
    dcb.ErrorChar = system.ErrorChar;
    dcb.EofChar = system.EofChar;
    dcb.EvtChar = system.EvtChar;
    return dcb;
}

::DCB ToSystemDcb(const DCB& dcb) {
    ::DCB system{};
    system.DCBlength = sizeof system;
    system.BaudRate = dcb.BaudRate;
    system.fBinary = dcb.fBinary;
    system.fParity = dcb.fParity;
    system.fOutxCtsFlow = dcb.fOutxCtsFlow;
    system.fOutxDsrFlow = dcb.fOutxDsrFlow;
    system.fDtrControl = ToSystemCode(kDtrControls, dcb.fDtrControl) & 3u;
    system.fDsrSensitivity = dcb.fDsrSensitivity;
    system.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    system.fOutX = dcb.fOutX;
    system.fInX = dcb.fInX;
    system.fErrorChar = dcb.fErrorChar;
    system.fNull = dcb.fNull;
    system.fRtsControl = ToSystemCode(kRtsControls, dcb.fRtsControl) & 3u;
    system.fAbortOnError = dcb.fAbortOnError;
    system.XonLim = dcb.XonLim;
    system.XoffLim = dcb.XoffLim;
    system.ByteSize = dcb.ByteSize;
    system.Parity = static_cast<BYTE>(ToSystemCode(kParities, dcb.Parity));
    system.StopBits = static_cast<BYTE>(ToSystemCode(kStopBits, dcb.StopBits));
    system.XonChar = dcb.XonChar;
    system.XoffChar = dcb.XoffChar;
    system.ErrorChar = dcb.ErrorChar;
    system.EofChar = dcb.EofChar;
    system.EvtChar = dcb.EvtChar;
    return system;
}

}  // namespace countryset::comm_codes
