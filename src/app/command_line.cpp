#include "app/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>
#include <vector>

#ifndef COUNTRYSET_VERSION
#define COUNTRYSET_VERSION "0.0.0"
#endif

namespace countryset {

namespace {

enum OptionId : int {
    kHelp = 'h',
    kConsole = 256,
    kVersion,
    kCountry,
    kPort,
    kQuery,
    kListPorts,
    kTrace,
    kListCountries,
    kNoVerify,
    kJson,
    kCheck,
    kAllPorts,
};

constexpr option kOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"console", no_argument, nullptr, kConsole},
    {"country", required_argument, nullptr, kCountry},
    {"port", required_argument, nullptr, kPort},
    {"query", no_argument, nullptr, kQuery},
    {"list-ports", no_argument, nullptr, kListPorts},
    {"trace", optional_argument, nullptr, kTrace},
    {"list-countries", no_argument, nullptr, kListCountries},
    {"no-verify", no_argument, nullptr, kNoVerify},
    {"json", no_argument, nullptr, kJson},
    {"check", no_argument, nullptr, kCheck},
    {"all-ports", no_argument, nullptr, kAllPorts},
    {nullptr, 0, nullptr, 0},
};

// "com3" and "COM3" name the same port; anything but COM1..COM8 is no port of the lists.
bool NormalisePort(std::string_view text, std::string& port) {
    if (text.size() != 4 || std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M' || text[3] < '1' ||
        text[3] > '8') {
        return false;
    }
    port = std::string("COM") + text[3];
    return true;
}

// The number of a port NormalisePort has written ("COM12" -> 12).
int PortNumber(const std::string& port) {
    int number = 0;
    std::from_chars(port.data() + 3, port.data() + port.size(), number);
    return number;
}

// One --port value: a port, a list "COM1,COM3" or a range "COM1-COM8", or both ("COM1,COM4-COM6").
// Adds each port to ports; false with the word it could not take in bad.
bool AddPorts(std::string_view text, std::vector<std::string>& ports, std::string& bad) {
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const std::size_t dash = item.find('-');
        std::string first;
        std::string last;
        if (!NormalisePort(item.substr(0, dash), first) ||
            (dash != std::string_view::npos && !NormalisePort(item.substr(dash + 1), last))) {
            bad = std::string(item);
            return false;
        }
        if (dash == std::string_view::npos) {
            ports.push_back(first);
        } else {
            const int from = PortNumber(first);
            const int to = PortNumber(last);
            if (from > to) {
                bad = std::string(item);
                return false;
            }
            for (int n = from; n <= to; ++n) {
                ports.push_back("COM" + std::to_string(n));
            }
        }
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

CommandLine UsageError(std::string what) {
    CommandLine result;
    result.action = CommandLine::Action::UsageError;
    result.error = std::move(what);
    return result;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine result;
    // getopt_long reorders what it is given: it gets a copy, never the caller's array.
    std::vector<char*> args;
    std::vector<std::string> storage;
    storage.reserve(static_cast<std::size_t>(argc > 0 ? argc : 0));
    for (int i = 0; i < argc; ++i) {
        storage.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    for (std::string& arg : storage) {
        args.push_back(arg.data());
    }
    if (args.empty()) {
        return result;
    }
    args.push_back(nullptr);

    // 0 starts a fresh scan, so the parser can run more than once in one process.
    optind = 0;
    opterr = 0;
    int modes = 0;
    bool portGiven = false;
    for (;;) {
        const int id = getopt_long(argc, args.data(), ":h", kOptions, nullptr);
        if (id == -1) {
            break;
        }
        switch (id) {
            case kHelp:
                result.action = CommandLine::Action::Help;
                return result;
            case kVersion:
                result.action = CommandLine::Action::Version;
                return result;
            case kConsole:
                result.console = true;
                break;
            case kCountry:
                if (*optarg == '\0') {
                    return UsageError("--country needs a country name");
                }
                result.mode = CommandLine::Mode::Country;
                result.country = optarg;
                ++modes;
                break;
            case kPort:
                if (std::string bad; !AddPorts(optarg, result.ports, bad)) {
                    return UsageError("--port takes COM1 to COM8, not '" + bad + "'");
                }
                portGiven = true;
                break;
            case kAllPorts:
                result.allPorts = true;
                break;
            case kQuery:
                result.mode = CommandLine::Mode::Query;
                ++modes;
                break;
            case kListPorts:
                result.mode = CommandLine::Mode::ListPorts;
                ++modes;
                break;
            case kListCountries:
                result.mode = CommandLine::Mode::ListCountries;
                ++modes;
                break;
            case kTrace:
                if (optarg != nullptr && *optarg == '\0') {
                    return UsageError("--trace= needs a file name");
                }
                result.trace = true;
                result.traceFile = optarg != nullptr ? optarg : "";
                break;
            case kNoVerify:
                result.noVerify = true;
                break;
            case kJson:
                result.json = true;
                break;
            case kCheck:
                result.check = true;
                break;
            case ':': {
                // Some parsers also land here for a value given to an option that takes none
                // ("--console=yes"); that is an unknown option, as everywhere else.
                const std::string word(args[static_cast<std::size_t>(optind - 1)]);
                if (word.find('=') == std::string::npos) {
                    return UsageError("option '" + word + "' needs a value");
                }
                return UsageError("unknown option '" + word + "'");
            }
            default: {
                // A short option in a cluster is named alone; otherwise the word the parser
                // stopped at: an unknown option, or a value given to an option taking none.
                const bool shortOption =
                    optopt > 0 && optopt < 128 && std::isgraph(static_cast<unsigned char>(optopt));
                const std::string word =
                    shortOption ? std::string("-") + static_cast<char>(optopt)
                                : std::string(args[static_cast<std::size_t>(optind - 1)]);
                return UsageError("unknown option '" + word + "'");
            }
        }
    }
    // Port order, each port once: the results come out in this order.
    std::sort(
        result.ports.begin(), result.ports.end(),
        [](const std::string& a, const std::string& b) { return PortNumber(a) < PortNumber(b); });
    result.ports.erase(std::unique(result.ports.begin(), result.ports.end()), result.ports.end());
    if (!result.ports.empty()) {
        result.port = result.ports.front();
    }
    if (optind < argc) {
        return UsageError("unknown argument '" +
                          std::string(args[static_cast<std::size_t>(optind)]) + "'");
    }
    if (modes > 1) {
        return UsageError("--country, --query, --list-ports and --list-countries go one at a time");
    }
    if (portGiven && result.mode != CommandLine::Mode::Country &&
        result.mode != CommandLine::Mode::Query) {
        return UsageError("--port goes with --country or --query");
    }
    if (result.allPorts && portGiven) {
        return UsageError("--all-ports and --port go one at a time");
    }
    if (SeveralPorts(result) && result.mode != CommandLine::Mode::Country) {
        return UsageError("several ports, or --all-ports, go with --country");
    }
    if (result.check && result.mode != CommandLine::Mode::Country) {
        return UsageError("--check goes with --country");
    }
    if (result.noVerify && (result.check || (result.mode != CommandLine::Mode::Dialog &&
                                             result.mode != CommandLine::Mode::Country))) {
        return UsageError("--no-verify goes with a run that sets a country");
    }
    if (result.json && result.mode != CommandLine::Mode::Country &&
        result.mode != CommandLine::Mode::Query && result.mode != CommandLine::Mode::ListPorts) {
        return UsageError("--json goes with --country, --query or --list-ports");
    }
    return result;
}

std::string UsageText(const std::string& programName) {
    const std::string indent(programName.size() + 8, ' ');
    return "Usage: " + programName + " [--console] [--no-verify] [--trace[=FILE]]\n" + indent +
           "--country NAME [--port COMn[,COMn|-COMn]... | --all-ports]\n" + indent +
           "          [--check | --no-verify] [--json] [--trace[=FILE]]\n" + indent +
           "--query [--port COMn] [--json] [--trace[=FILE]]\n" + indent +
           "--list-ports [--json] | --list-countries\n" + indent + "--help | --version\n";
}

std::string HelpText(const std::string& programName) {
    return UsageText(programName) +
           "\n"
           "Sets a modem's country of installation (AT+GCI=) through its serial console.\n"
           "Without options: pick the country and the port in the dialog; the program resets\n"
           "the modem with ATZE1, sends the country command, checks the modem's echo and OK,\n"
           "asks the modem which country it now holds (AT+GCI?), and stores the choice for\n"
           "the next run. A modem that holds another country than the one sent fails the run;\n"
           "one that cannot report its country keeps the verdict of its OK.\n"
           "\n"
           "Modes:\n"
           "  (none)              the dialog\n"
           "                        " +
           programName +
           "\n"
           "  --country NAME      set NAME from the offered list without a dialog (as listed,\n"
           "                      or in any case, or a unique beginning; NAME#2 for the\n"
           "                      second of equal names); outcome on stderr. It asks the\n"
           "                      modem first (AT+GCI?) and sends nothing to a modem that\n"
           "                      already holds NAME\n"
           "                        " +
           programName +
           " --country germany --port COM2\n"
           "  --query             read the modem's country and the offered countries it\n"
           "                      supports; writes nothing\n"
           "                        " +
           programName +
           " --query --port COM1\n"
           "  --list-ports        which device each of COM1..COM8 opens, and the serial\n"
           "                      devices no port reaches; opens no device\n"
           "                        " +
           programName +
           " --list-ports\n"
           "  --list-countries    the offered countries, one a line, each as --country picks\n"
           "                      it alone (equal names as NAME#2, NAME#3...); opens no port\n"
           "\n"
           "Options:\n"
           "  --port COMn         the port for --country or --query (default: the stored one)\n"
           "                      --country takes several at once, each on a thread of its own:\n"
           "                      --port repeated, a list COM1,COM3 or a range COM1-COM8; a\n"
           "                      line per port, then a summary; the choice is not stored\n"
           "                        " +
           programName +
           " --country France --port COM1-COM8\n"
           "  --all-ports         with --country: every port whose device is there\n"
           "  --trace[=FILE]      record every byte sent and received, with times, to stderr\n"
           "                      or FILE\n"
           "                        " +
           programName +
           " --country France --trace=wire.txt\n"
           "  --no-verify         leave out the questions (AT+GCI?) before and after the set,\n"
           "                      for a modem known to misbehave on them\n"
           "  --check             with --country: only ask the modem whether it holds NAME;\n"
           "                      changes nothing (exit status 0 or 9)\n"
           "  --json              with --country, --query, --list-ports: one JSON object a\n"
           "                      line on stdout (messages stay on stderr)\n"
           "                        " +
           programName +
           " --country France --port COM2 --json\n"
           "  --console           use the text console even when a display is available\n"
           "  -h, --help          print this help and exit\n"
           "  --version           print the version and exit\n"
           "\n"
           "Settings are read from the file beside the program, named like it with the\n"
           "extension .DAT. Its [Ports] section maps COM1..COM8 to devices\n"
           "(COM1=/dev/ttyUSB0); without an entry COMn opens /dev/ttyS<n-1>.\n"
           "\n"
           "Exit status (the dialog: 0, 1 or 2 only):\n"
           "  0  the country is set, or was already (--check: is held); or the modem was\n"
           "     read, the ports or the countries listed\n"
           "  1  the dialog did not set it (cancelled or failed); --query: a question got\n"
           "     no usable answer\n"
           "  2  usage error: the command line, or a settings file that cannot be read\n"
           "  3  --country names no single offered country\n"
           "  4  the port could not be used\n"
           "  5  no modem answered, or nothing answered the country command\n"
           "  6  the modem refused the country command\n"
           "  7  the modem answered OK but holds another country\n"
           "  8  several ports: at least one failed\n"
           "  9  --check: the modem does not hold the country, or cannot tell\n";
}

std::string VersionText() {
    return std::string("countryset ") + COUNTRYSET_VERSION + "\n";
}

}  // namespace countryset
