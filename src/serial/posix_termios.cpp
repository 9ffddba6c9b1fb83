#include "serial/posix_termios.h"

#include <sys/ioctl.h>

namespace countryset {

namespace {

struct BaudEntry {
    std::uint32_t rate;
    speed_t speed;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

std::optional<tcflag_t> CharacterSizeOf(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<speed_t> SpeedOf(std::uint32_t rate) {
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.rate == rate) {
            return entry.speed;
        }
    }
    return std::nullopt;
}

std::uint32_t RateOf(speed_t speed) {
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

DCB DcbOfTermios(const termios& settings, std::optional<int> modemLines) {
    DCB result;
    result.BaudRate = RateOf(::cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            result.ByteSize = 5;
            break;
        case CS6:
            result.ByteSize = 6;
            break;
        case CS7:
            result.ByteSize = 7;
            break;
        default:
            result.ByteSize = 8;
            break;
    }
    if ((settings.c_cflag & PARENB) == 0) {
        result.Parity = kNoParity;
    } else {
        result.Parity = (settings.c_cflag & PARODD) != 0 ? kOddParity : kEvenParity;
    }
    result.StopBits = (settings.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
    result.fBinary = 1;
    result.fParity = (settings.c_iflag & INPCK) != 0 ? 1 : 0;
    const bool ctsFlow = (settings.c_cflag & CRTSCTS) != 0;
    result.fOutxCtsFlow = ctsFlow ? 1 : 0;
    const bool haveLines = modemLines.has_value();
    const int lines = modemLines.value_or(0);
    result.fDtrControl =
        !haveLines || (lines & TIOCM_DTR) != 0 ? kDtrControlEnable : kDtrControlDisable;
    if (ctsFlow) {
        result.fRtsControl = kRtsControlHandshake;
    } else {
        result.fRtsControl =
            !haveLines || (lines & TIOCM_RTS) != 0 ? kRtsControlEnable : kRtsControlDisable;
    }
    result.fOutX = (settings.c_iflag & IXON) != 0 ? 1 : 0;
    result.fInX = (settings.c_iflag & IXOFF) != 0 ? 1 : 0;
    result.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    result.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return result;
}

bool ApplyDcb(const DCB& dcb, termios& settings) {
    termios out = settings;
    const std::optional<speed_t> speed = SpeedOf(dcb.BaudRate);
    const std::optional<tcflag_t> size = CharacterSizeOf(dcb.ByteSize);
    if (!speed || !size) {
        return false;
    }
    tcflag_t parity = 0;
    switch (dcb.Parity) {
        case kNoParity:
            break;
        case kOddParity:
            parity = PARENB | PARODD;
            break;
        case kEvenParity:
            parity = PARENB;
            break;
        default:
            return false;  // mark and space parity have no portable termios form
    }
    tcflag_t stopBits = 0;
    if (dcb.StopBits == kTwoStopBits || (dcb.StopBits == 1 && *size == CS5)) {
        stopBits = CSTOPB;  // with five data bits CSTOPB gives one and a half
    } else if (dcb.StopBits != kOneStopBit) {
        return false;
    }

    out.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    if (dcb.fParity && parity != 0) {
        out.c_iflag |= INPCK;
    }
    if (dcb.fOutX) {
        out.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        out.c_iflag |= IXOFF;
    }
    if (dcb.fOutX || dcb.fInX) {
        out.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        out.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    out.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    out.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    out.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    out.c_cflag |= *size | parity | stopBits | CLOCAL | CREAD;
    if (dcb.fOutxCtsFlow) {
        out.c_cflag |= CRTSCTS;
    }
    out.c_cc[VMIN] = 0;
    out.c_cc[VTIME] = 0;
    if (::cfsetispeed(&out, *speed) != 0 || ::cfsetospeed(&out, *speed) != 0) {
        return false;
    }
    settings = out;
    return true;
}

}  // namespace countryset
