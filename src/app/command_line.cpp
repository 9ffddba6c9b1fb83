#include "app/command_line.h"

#include <getopt.h>

#include <cctype>
#include <string_view>
#include <vector>

#include "seams/port_name.h"

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
    {nullptr, 0, nullptr, 0},
};

// "com3" and "COM3" name the same port; anything but COM1..COM256 is no port.
bool NormalisePort(std::string_view text, std::string& port) {
    const int number = ComPortNumber(text);
    if (number == 0) {
        return false;
    }
    port = ComPortName(number);
    return true;
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
                if (!NormalisePort(optarg, result.port)) {
                    return UsageError("--port takes COM1 to COM256, not '" + std::string(optarg) +
                                      "'");
                }
                portGiven = true;
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
    if (result.noVerify && result.mode != CommandLine::Mode::Dialog &&
        result.mode != CommandLine::Mode::Country) {
        return UsageError("--no-verify goes with a run that sets a country");
    }
    return result;
}

std::string UsageText(const std::string& programName) {
    const std::string indent(programName.size() + 8, ' ');
    return "Usage: " + programName + " [--console] [--no-verify] [--trace[=FILE]]\n" + indent +
           "--country NAME [--port COMn] [--no-verify] [--trace[=FILE]]\n" + indent +
           "--query [--port COMn] [--trace[=FILE]]\n" + indent +
           "--list-ports | --list-countries\n" + indent + "--help | --version\n";
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
           "                      second of equal names); outcome on stderr\n"
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
           "  --trace[=FILE]      record every byte sent and received, with times, to stderr\n"
           "                      or FILE\n"
           "                        " +
           programName +
           " --country France --trace=wire.txt\n"
           "  --no-verify         leave out the read-back (AT+GCI?), for a modem known to\n"
           "                      misbehave on it\n"
           "  --console           use the text console even when a display is available\n"
           "  -h, --help          print this help and exit\n"
           "  --version           print the version and exit\n"
           "\n"
           "Settings are read from the file beside the program, named like it with the\n"
           "extension .DAT. Its [Ports] section maps ports to devices (COM1=/dev/ttyUSB0;\n"
           "on Windows COM1=COM12 or COM1=\\\\.\\CNCA0); without an entry COM1..COM8 open\n"
           "/dev/ttyS0..7 on Linux, COMn itself on Windows. Ports above COM8 need an entry\n"
           "on Linux.\n"
           "\n"
           "Exit status: 0 when the country was set (or the modem was read, or the ports or\n"
           "countries listed), 1 when it was not (cancelled or failed), 2 for a usage error.\n";
}

std::string VersionText() {
    return std::string("countryset ") + COUNTRYSET_VERSION + "\n";
}

}  // namespace countryset
