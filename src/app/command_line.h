// The program takes no arguments for its job; these only ask for help, the version, or the
// text console.
#pragma once

#include <string>

namespace countryset {

struct CommandLine {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    bool console = false;  // --console: the text console even when a display is available
    std::string error;     // for UsageError: what was wrong
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// The texts printed for --help and --version, and after a usage error.
std::string HelpText(const std::string& programName);
std::string VersionText();
std::string UsageText(const std::string& programName);

}  // namespace countryset
