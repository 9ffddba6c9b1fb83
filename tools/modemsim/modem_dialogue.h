// The simulated modem's command interpreter, without any device: bytes in, bytes out. It echoes,
// answers result codes and keeps a country of installation (+GCI), with faults to order.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modem_codes.h"

namespace countryset {

struct ModemSimOptions {
    bool noEcho = false;    // never echoes, whatever E says
    int delayMs = 0;        // pause before each reply
    int stray = 0;          // bytes of line noise before the echo of each command line
    std::string extra;      // bytes after each OK
    int flood = 0;          // this many bytes (NULs among them) instead of each reply
    long hangupAfter = -1;  // closes its side after this many bytes sent; negative: never
    bool silent = false;    // never answers at all
    bool errorGci = false;  // answers ERROR to +GCI=
    // Stores a code's hex letters as the digits 0 to 5 (3D as 33, B5 as 15, 0A as 00, FE as
    // 54) while answering the command as if it had taken it: a modem whose OK says nothing.
    bool lettersAsDigits = false;
    // This many stray bytes before the echo of each +GCI= command line, sent with the echo and
    // the reply in one write, as a line that delivers a burst does.
    int burst = 0;
    bool noGciQuery = false;  // answers ERROR to +GCI? (the other commands still work)
    // The countries +GCI= takes and +GCI=? reports, written as the answer gives them: a list
    // "(07,3D,B5)", ranges "(00-FF)" or both. Empty: DefaultSupportedCodes(), as a list.
    std::string supported;
    bool noGciTest = false;   // answers ERROR to +GCI=? (the query +GCI? still works)
    std::string gciAnswer;    // this information text instead of "+GCI: <code>" for +GCI?
    bool pace = false;        // sends at the real 38400 bit/s byte rate
    bool verbose = false;     // timestamped transcript on stderr
    std::string logPath;      // every byte received, as received
    std::string sentLogPath;  // every byte sent, as sent
    std::string statePath;    // keeps the country across runs
    std::string linkPath;     // symlink to the device
    // The identity answers: ATI (ATI0), AT+GMI, AT+GMM, AT+GMR, AT+GSN, each sent as
    // information text before OK. A text may hold "\r\n" for an answer of several lines.
    std::string info = "countryset-modemsim V.250 simulator";
    std::string manufacturer = "countryset";
    std::string model = "modemsim";
    std::string revision = "1.0";
    std::string serialNumber = "SIM0000001";
    // The identity commands this modem answers ERROR, named as in IdentityCommands(), comma
    // separated ("I,GSN"): many modems know only some of them.
    std::string identityErrors;
    // Clears an exclusive open that a client left behind (killed, or gone without TIOCNXCL).
    // Off by default, so that tests see the device as a real client would leave it.
    bool releaseAbandoned = false;
};

// The identity commands' names as --identity-errors takes them: "I", "GMI", "GMM", "GMR", "GSN".
bool IsIdentityList(std::string_view names);

// One piece of what the modem sends; replies are what --delay holds back.
struct ModemOutput {
    std::string bytes;
    bool reply = false;
};

// The command interpreter alone, without any device: bytes in, bytes out.
class ModemDialogue {
public:
    static constexpr std::size_t kMaxLine = 256;

    explicit ModemDialogue(ModemSimOptions options, std::uint8_t country = kDefaultCountry);

    void Receive(std::string_view bytes, std::vector<ModemOutput>& out);
    // Everything sent in answer, run together.
    std::string Receive(std::string_view bytes);

    std::uint8_t Country() const { return country_; }

private:
    void Send(std::vector<ModemOutput>& out, std::string_view bytes, bool reply);
    void ExecuteLine(std::vector<ModemOutput>& out);
    void SendBurst(std::vector<ModemOutput>& out);
    bool ExecuteCommands(std::string_view body, std::string& info);
    // The answer of an identity command ("I", "GMI", ...) into info; false for ERROR.
    bool Identity(std::string_view name, std::string& info) const;
    std::string ResultCode(bool ok) const;
    std::string InfoText(std::string_view text) const;

    ModemSimOptions options_;
    std::bitset<256> supported_;
    std::string supportedText_;
    std::uint8_t country_;
    bool echo_ = true;
    bool verbose_ = true;
    std::string line_;
    std::string heldEcho_;  // with burst: the line's echo, sent with its answer
    bool overflow_ = false;
    bool atLineStart_ = true;
};

}  // namespace countryset
