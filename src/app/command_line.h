// The command line: without options the dialog run; the other modes serve scripts and service
// benches. Parsed with getopt_long, so options read as they do in the neighbouring tools.
#pragma once

#include <string>
#include <vector>

namespace countryset {

struct CommandLine {
    enum class Action { Run, Help, Version, UsageError };
    // What a Run does: the operator's dialog, a scripted run, reading a modem, or the ports.
    enum class Mode { Dialog, Country, Query, ListPorts, ListCountries };

    Action action = Action::Run;
    Mode mode = Mode::Dialog;
    bool console = false;  // --console: the text console even when a display is available
    std::string country;   // --country: the name as given
    std::string port;      // --port, as "COM1".."COM8"; empty: the stored port
    // Every port named by --port (repeated, "COM1,COM3", "COM1-COM8"), in port order, each once;
    // port is the first of them.
    std::vector<std::string> ports;
    bool allPorts = false;  // --all-ports: every port whose device is there
    bool trace = false;     // --trace
    bool noVerify = false;  // --no-verify: no read-back of the country after the modem's OK
    std::string traceFile;  // --trace=FILE; empty: standard error
    bool json = false;      // --json: one JSON object per port on stdout
    bool check = false;     // --check: read the modem's country against --country, change nothing
    std::string error;      // for UsageError: what was wrong
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// Whether the run sets several ports at once, each on a thread of its own.
inline bool SeveralPorts(const CommandLine& line) {
    return line.allPorts || line.ports.size() > 1;
}

// The texts printed for --help and --version, and after a usage error.
std::string HelpText(const std::string& programName);
std::string VersionText();
std::string UsageText(const std::string& programName);

}  // namespace countryset
