// countryset-modemsim: a V.250 modem on a pseudo-terminal.
#include <signal.h>

#include <bitset>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "modem_sim.h"

namespace {

countryset::ModemSim* g_sim = nullptr;

extern "C" void OnSignal(int) {
    if (g_sim) {
        g_sim->RequestStop();
    }
}

constexpr const char* kUsage =
    "Usage: countryset-modemsim [options]\n"
    "A V.250 modem on a pseudo-terminal. Prints the device path on stdout, then answers\n"
    "AT commands (E, V, Z, I, +GCI, +GMI, +GMM, +GMR, +GSN) until SIGTERM or SIGINT.\n"
    "\n"
    "  --link PATH          make PATH a symlink to the device (removed on exit)\n"
    "  --state FILE         keep the country of installation in FILE across runs\n"
    "  --log FILE           write every byte received to FILE\n"
    "  --sent-log FILE      write every byte sent to FILE\n"
    "  --supported SET      the countries +GCI= takes and +GCI=? reports, as the answer\n"
    "                       gives them: \"(07,3D,B5)\", \"(00-FF)\" or both mixed\n"
    "  --info TEXT          answer ATI with TEXT (escapes allowed; \\r\\n between lines)\n"
    "  --manufacturer TEXT  answer AT+GMI with TEXT\n"
    "  --model TEXT         answer AT+GMM with TEXT\n"
    "  --revision TEXT      answer AT+GMR with TEXT\n"
    "  --serial-number TEXT answer AT+GSN with TEXT\n"
    "  --verbose            timestamped transcript on stderr\n"
    "  --pace               send at the 38400 bit/s byte rate\n"
    "  --release-abandoned  clear an exclusive open that a client left behind\n"
    "Faults:\n"
    "  --no-echo            never echo commands\n"
    "  --delay MS           wait MS milliseconds before each reply\n"
    "  --stray N            N stray bytes before the echo of each command line\n"
    "  --extra TEXT         TEXT after each OK (escapes \\r \\n \\xHH allowed)\n"
    "  --flood N            N bytes, NULs among them, instead of each reply\n"
    "  --hangup-after N     hang up after sending N bytes\n"
    "  --silent             never answer\n"
    "  --error-gci          answer ERROR to AT+GCI=\n"
    "  --no-gci-test        answer ERROR to AT+GCI=? (AT+GCI? still answers)\n"
    "  --no-gci-query       answer ERROR to AT+GCI? (AT+GCI= still sets)\n"
    "  --letters-as-digits  take AT+GCI=3D with OK but store 33 (hex letters A..F kept\n"
    "                       as the digits 0..5)\n"
    "  --burst N            N stray bytes before the echo of each AT+GCI= line, sent\n"
    "                       with the echo and the answer in one write\n"
    "  --identity-errors LIST\n"
    "                       answer ERROR to these identity commands: I, GMI, GMM, GMR,\n"
    "                       GSN, comma separated\n"
    "  --gci-answer TEXT    answer AT+GCI? with TEXT (escapes allowed) before OK\n"
    "  --help               this text\n";

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    countryset::ModemSimOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string_view value = hasValue ? argv[i + 1] : "";
        bool ok = true;
        bool tookValue = true;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--no-echo") {
            options.noEcho = true;
            tookValue = false;
        } else if (arg == "--silent") {
            options.silent = true;
            tookValue = false;
        } else if (arg == "--error-gci") {
            options.errorGci = true;
            tookValue = false;
        } else if (arg == "--no-gci-test") {
            options.noGciTest = true;
            tookValue = false;
        } else if (arg == "--no-gci-query") {
            options.noGciQuery = true;
            tookValue = false;
        } else if (arg == "--letters-as-digits") {
            options.lettersAsDigits = true;
            tookValue = false;
        } else if (arg == "--pace") {
            options.pace = true;
            tookValue = false;
        } else if (arg == "--verbose") {
            options.verbose = true;
            tookValue = false;
        } else if (arg == "--release-abandoned") {
            options.releaseAbandoned = true;
            tookValue = false;
        } else if (!hasValue) {
            ok = false;
        } else if (arg == "--link") {
            options.linkPath = value;
        } else if (arg == "--state") {
            options.statePath = value;
        } else if (arg == "--log") {
            options.logPath = value;
        } else if (arg == "--sent-log") {
            options.sentLogPath = value;
        } else if (arg == "--supported") {
            std::bitset<256> codes;
            options.supported = value;
            ok = countryset::ParseSupportedSet(value, codes);
        } else if (arg == "--gci-answer") {
            options.gciAnswer = countryset::UnescapeArgument(value);
        } else if (arg == "--info") {
            options.info = countryset::UnescapeArgument(value);
        } else if (arg == "--manufacturer") {
            options.manufacturer = countryset::UnescapeArgument(value);
        } else if (arg == "--model") {
            options.model = countryset::UnescapeArgument(value);
        } else if (arg == "--revision") {
            options.revision = countryset::UnescapeArgument(value);
        } else if (arg == "--serial-number") {
            options.serialNumber = countryset::UnescapeArgument(value);
        } else if (arg == "--identity-errors") {
            options.identityErrors = value;
            ok = countryset::IsIdentityList(value);
        } else if (arg == "--extra") {
            options.extra = countryset::UnescapeArgument(value);
        } else if (arg == "--delay") {
            ok = ParseNumber(value, options.delayMs);
        } else if (arg == "--stray") {
            ok = ParseNumber(value, options.stray);
        } else if (arg == "--burst") {
            ok = ParseNumber(value, options.burst);
        } else if (arg == "--flood") {
            ok = ParseNumber(value, options.flood);
        } else if (arg == "--hangup-after") {
            ok = ParseNumber(value, options.hangupAfter);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "countryset-modemsim: bad option '%s'\n%s", argv[i], kUsage);
            return 2;
        }
        if (tookValue) {
            ++i;
        }
    }

    countryset::ModemSim sim(options);
    std::string error;
    if (!sim.Open(&error)) {
        std::fprintf(stderr, "countryset-modemsim: %s\n", error.c_str());
        return 1;
    }
    g_sim = &sim;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::printf("%s\n", sim.SlavePath().c_str());
    std::fflush(stdout);
    sim.Run();
    g_sim = nullptr;
    return 0;  // the destructor removes the link
}
