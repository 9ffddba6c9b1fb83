#include "app/command_line.h"

#include <string_view>

#ifndef COUNTRYSET_VERSION
#define COUNTRYSET_VERSION "0.0.0"
#endif

namespace countryset {

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine result;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg == "--help" || arg == "-h") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (arg == "--version") {
            result.action = CommandLine::Action::Version;
            return result;
        }
        if (arg == "--console") {
            result.console = true;
            continue;
        }
        result.action = CommandLine::Action::UsageError;
        result.error = "unknown argument '" + std::string(arg) + "'";
        return result;
    }
    return result;
}

std::string UsageText(const std::string& programName) {
    return "Usage: " + programName + " [--console]\n       " + programName +
           " --help | --version\n";
}

std::string HelpText(const std::string& programName) {
    return UsageText(programName) +
           "\n"
           "Sets a modem's country of installation (AT+GCI=) through its serial console.\n"
           "Pick the country and the port in the dialog; the program resets the modem with\n"
           "ATZE1, sends the country command, checks the modem's echo and OK, and stores the\n"
           "choice for the next run.\n"
           "\n"
           "Options:\n"
           "  --console   use the text console even when a display is available\n"
           "  --help      print this help and exit\n"
           "  --version   print the version and exit\n"
           "\n"
           "Settings are read from the file beside the program, named like it with the\n"
           "extension .DAT. Its [Ports] section maps COM1..COM8 to devices\n"
           "(COM1=/dev/ttyUSB0); without an entry COMn opens /dev/ttyS<n-1>.\n"
           "\n"
           "Exit status: 0 when the country was set, 1 when it was not (cancelled or failed),\n"
           "2 for a usage error.\n";
}

std::string VersionText() {
    return std::string("countryset ") + COUNTRYSET_VERSION + "\n";
}

}  // namespace countryset
