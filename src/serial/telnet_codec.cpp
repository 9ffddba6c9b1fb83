#include "serial/telnet_codec.h"

namespace countryset {

using namespace telnet;

namespace {

constexpr std::uint8_t kCr = '\r';

void PutEscaped(std::uint8_t byte, std::string& out) {
    out.push_back(static_cast<char>(byte));
    if (byte == kIac) {
        out.push_back(static_cast<char>(kIac));
    }
}

void PutCommand(std::uint8_t verb, std::uint8_t option, std::string& out) {
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(verb));
    out.push_back(static_cast<char>(option));
}

}  // namespace

namespace {

// SET-CONTROL carries several settings in one command; a server that never answers one of them
// (DTR on a line without the wire) must not shift the answers to the others.
int ControlGroup(std::uint32_t value) {
    if (value >= kControlDtrOn - 1 && value <= kControlDtrOff) {
        return 1;
    }
    if (value >= kControlRtsOn - 1 && value <= kControlRtsOff) {
        return 2;
    }
    if (value >= 4 && value <= 6) {
        return 3;  // break
    }
    if ((value >= 13 && value <= 16) || value == 18) {
        return 4;  // inbound flow control
    }
    return 0;  // outbound flow control
}

}  // namespace

bool TelnetCodec::Wanted(std::uint8_t option) {
    return option == kOptionBinary || option == kOptionComPort;
}

void TelnetCodec::Start(std::string& out) {
    m_us[kOptionBinary] = Side::WantYes;
    PutCommand(kWill, kOptionBinary, out);
    m_him[kOptionBinary] = Side::WantYes;
    PutCommand(kDo, kOptionBinary, out);
    m_us[kOptionComPort] = Side::WantYes;
    PutCommand(kWill, kOptionComPort, out);
}

void TelnetCodec::OnVerb(std::uint8_t verb, std::uint8_t option, std::string& out) {
    // The server's side of the option. Only binary is welcome there: the Com Port Control
    // option is the client's to offer.
    if (verb == kWill || verb == kWont) {
        Side& him = m_him[option];
        if (verb == kWill) {
            if (him == Side::No) {
                const bool accept = option == kOptionBinary;
                him = accept ? Side::Yes : Side::No;
                PutCommand(accept ? kDo : kDont, option, out);
            } else if (him != Side::Yes) {
                him = him == Side::WantYes ? Side::Yes : Side::No;
            }
        } else {
            if (him == Side::Yes) {
                PutCommand(kDont, option, out);
            }
            him = Side::No;
        }
        return;
    }
    Side& us = m_us[option];
    if (verb == kDo) {
        if (us == Side::No) {
            const bool accept = Wanted(option);
            us = accept ? Side::Yes : Side::No;
            PutCommand(accept ? kWill : kWont, option, out);
        } else if (us != Side::Yes) {
            us = us == Side::WantYes ? Side::Yes : Side::No;
        }
        if (option == kOptionComPort && us == Side::Yes) {
            m_comPortRefused = false;
        }
        return;
    }
    // DONT: refused, or withdrawn.
    if (us == Side::Yes) {
        PutCommand(kWont, option, out);
    }
    if (option == kOptionComPort && us != Side::No) {
        m_comPortRefused = true;
    }
    us = Side::No;
}

void TelnetCodec::AddRequest(std::uint8_t command, std::uint32_t value, std::uint64_t tag) {
    if (m_requestCount == kMaxRequests) {
        for (std::size_t i = 1; i < kMaxRequests; ++i) {
            m_requests[i - 1] = m_requests[i];
        }
        --m_requestCount;
    }
    m_requests[m_requestCount++] = Request{command, value, false, 0, tag};
}

void TelnetCodec::OnSubnegotiation() {
    if (m_sbOption != kOptionComPort || m_sbOverlong || m_sbLength < 2) {
        return;
    }
    const std::uint8_t reply = m_sb[0];
    if (reply <= kServerReplyOffset) {
        return;
    }
    const std::uint8_t command = reply - kServerReplyOffset;
    std::uint32_t value = 0;
    if (command == kSetBaudRate) {
        if (m_sbLength != 5) {
            return;
        }
        value = (std::uint32_t{m_sb[1]} << 24) | (std::uint32_t{m_sb[2]} << 16) |
                (std::uint32_t{m_sb[3]} << 8) | m_sb[4];
    } else if (command == kSetDataSize || command == kSetParity || command == kSetStopSize ||
               command == kSetControl || command == kPurgeData) {
        if (m_sbLength != 2) {
            return;
        }
        value = m_sb[1];
    } else {
        // Notifications and suspensions are not answers to anything asked.
        return;
    }
    for (std::size_t i = 0; i < m_requestCount; ++i) {
        Request& r = m_requests[i];
        if (!r.answered && r.command == command &&
            (command != kSetControl || ControlGroup(r.value) == ControlGroup(value))) {
            r.answered = true;
            r.answer = value;
            return;
        }
    }
    ++m_unmatched;
}

void TelnetCodec::Receive(std::span<const std::uint8_t> in, std::string& data, std::string& out) {
    for (std::uint8_t byte : in) {
        switch (m_state) {
            case State::Data:
                if (byte == kIac) {
                    m_state = State::Iac;
                    break;
                }
                if (m_afterCr) {
                    m_afterCr = false;
                    if (byte == 0) {
                        break;
                    }
                }
                data.push_back(static_cast<char>(byte));
                m_afterCr = byte == kCr && m_him[kOptionBinary] != Side::Yes;
                break;
            case State::SbIac:
                if (byte == kSe) {
                    OnSubnegotiation();
                    m_state = State::Data;
                    break;
                }
                if (byte == kIac) {
                    if (m_sbLength < m_sb.size()) {
                        m_sb[m_sbLength++] = kIac;
                    } else {
                        m_sbOverlong = true;
                    }
                    m_state = State::SbOption;
                    break;
                }
                // A subnegotiation cut short by another command: drop it, obey the command.
                [[fallthrough]];
            case State::Iac:
                m_state = State::Data;
                if (byte == kIac) {
                    m_afterCr = false;
                    data.push_back(static_cast<char>(kIac));
                } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
                    m_verb = byte;
                    m_state = State::Verb;
                } else if (byte == kSb) {
                    m_state = State::Sb;
                }
                // Any other command (NOP, go-ahead, a stray SE ...) carries nothing for us.
                break;
            case State::Verb:
                OnVerb(m_verb, byte, out);
                m_state = State::Data;
                break;
            case State::Sb:
                m_sbOption = byte;
                m_sbLength = 0;
                m_sbOverlong = false;
                m_state = State::SbOption;
                break;
            case State::SbOption:
                if (byte == kIac) {
                    m_state = State::SbIac;
                } else if (m_sbLength < m_sb.size()) {
                    m_sb[m_sbLength++] = byte;
                } else {
                    m_sbOverlong = true;
                }
                break;
        }
    }
}

void TelnetCodec::EncodeData(std::span<const std::uint8_t> in, std::string& out) const {
    const bool binary = m_us[kOptionBinary] == Side::Yes;
    for (std::uint8_t byte : in) {
        PutEscaped(byte, out);
        if (byte == kCr && !binary) {
            out.push_back('\0');
        }
    }
}

void TelnetCodec::RequestBaudRate(std::uint32_t bitsPerSecond, std::string& out,
                                  std::uint64_t tag) {
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSb));
    out.push_back(static_cast<char>(kOptionComPort));
    out.push_back(static_cast<char>(kSetBaudRate));
    for (int shift = 24; shift >= 0; shift -= 8) {
        PutEscaped(static_cast<std::uint8_t>(bitsPerSecond >> shift), out);
    }
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSe));
    AddRequest(kSetBaudRate, bitsPerSecond, tag);
}

void TelnetCodec::RequestControl(std::uint8_t command, std::uint8_t value, std::string& out,
                                 std::uint64_t tag) {
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSb));
    out.push_back(static_cast<char>(kOptionComPort));
    out.push_back(static_cast<char>(command));
    PutEscaped(value, out);
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSe));
    AddRequest(command, value, tag);
}

std::string TelnetCodec::RequestName(const Request& r) {
    const std::string value = std::to_string(r.value);
    switch (r.command) {
        case kSetBaudRate:
            return "SET-BAUDRATE " + value;
        case kSetDataSize:
            return "SET-DATASIZE " + value;
        case kSetParity:
            return "SET-PARITY " + (r.value == kParityNone ? std::string("none") : value);
        case kSetStopSize:
            return "SET-STOPSIZE " + value;
        case kSetControl:
            switch (r.value) {
                case kControlNoFlow:
                    return "SET-CONTROL no flow control";
                case kControlDtrOn:
                    return "SET-CONTROL DTR on";
                case kControlDtrOff:
                    return "SET-CONTROL DTR off";
                case kControlRtsOn:
                    return "SET-CONTROL RTS on";
                case kControlRtsOff:
                    return "SET-CONTROL RTS off";
                default:
                    return "SET-CONTROL " + value;
            }
        case kPurgeData:
            return "PURGE-DATA " + value;
        default:
            return "command " + std::to_string(r.command) + " " + value;
    }
}

}  // namespace countryset
