// Runs the real program as an operator would: a copy in a folder of its own, its settings file
// beside it, its console fed through a pipe, and the modem simulator on a pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modem_sim.h"

namespace countryset::testing {

struct ProgramResult {
    int exitCode = -1;  // -1 when it did not exit by itself
    int signal = 0;     // the signal that ended it, if any
    bool timedOut = false;
    std::string out;
    std::string err;
};

class ProgramFolder {
public:
    ProgramFolder();
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const std::string& Dir() const { return dir_; }
    std::string Executable() const { return dir_ + "/countryset"; }
    std::string SettingsPath() const { return dir_ + "/countryset.DAT"; }
    void WriteSettings(const std::string& text) const;
    std::optional<std::string> ReadSettings() const;

    // Runs the program with the given console input (no display, so the console serves it);
    // kills it when it outlives the timeout.
    ProgramResult Run(const std::string& input, const std::vector<std::string>& args = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Runs the program as a script runs it: in a session of its own, without a terminal, with
    // nothing to read. prepare, if given, runs in the child first; false ends it with status 125.
    ProgramResult RunDetached(const std::vector<std::string>& args,
                              std::chrono::milliseconds timeout,
                              std::function<bool()> prepare = {}) const;
    // Run in two steps, for a test that types while the program runs or kills it at a moment of
    // its choosing: Start reads the console from the descriptor and returns the process id; Wait
    // collects the ending, killing the program when it outlives the timeout.
    pid_t Start(int console, const std::vector<std::string>& args = {}) const;
    ProgramResult Wait(pid_t pid, std::chrono::milliseconds timeout) const;
    // What the program has written to its console so far.
    std::string Output() const;

    // For runs side by side in one folder, each with console files of its own (named by tag),
    // and for a run whose process is prepared before the program starts (beforeExec runs in the
    // child, its console already in place; a false result ends it with status 125).
    struct StartOptions {
        std::vector<std::string> args;
        std::string tag;
        std::function<bool()> beforeExec;
        std::string argv0;  // empty: the executable's path
    };
    pid_t Start(int console, const StartOptions& options) const;
    ProgramResult Wait(pid_t pid, std::chrono::milliseconds timeout, const std::string& tag) const;
    std::string Output(const std::string& tag) const;

private:
    std::string dir_;
};

// A run whose console the test types into while it runs, its console files named by tag (so
// runs can go side by side in one folder). A run not finished is killed at destruction.
class ConsoleRun {
public:
    explicit ConsoleRun(const ProgramFolder& folder, std::string tag = {});
    ~ConsoleRun();
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    bool Started() const { return pid_ > 0; }
    // Waits until the console shows text; false when it never does (within tens of seconds).
    bool Await(const std::string& text) const;
    bool Type(std::string_view text) const;
    void Signal(int signal) const;
    // Ends the console's input and collects the ending.
    ProgramResult Finish();

private:
    const ProgramFolder& folder_;
    std::string tag_;
    pid_t pid_ = -1;
    int input_ = -1;
    bool finished_ = false;
};

class SimulatedModem {
public:
    // Starts the simulator; its log of received bytes goes to logPath.
    SimulatedModem(ModemSimOptions options, const std::string& logPath);
    ~SimulatedModem();
    const std::string& Device() const { return sim_.SlavePath(); }
    // Every byte the modem received so far.
    std::string Received() const;
    std::uint8_t Country() const { return sim_.Country(); }

private:
    std::string logPath_;
    ModemSim sim_;
};

// The sample settings file of the project, with COM1 mapped to the given device.
std::string SampleSettings(const std::string& device);

// What most end-to-end fixtures stand on: a folder for the program, the simulator, and the sample
// settings file with COM1 mapped to it.
class SampleModemRig {
protected:
    // The bytes the modem sends are also kept, in sent.log in the folder.
    void StartModem(ModemSimOptions options = {}) {
        options.sentLogPath = folder_.Dir() + "/sent.log";
        modem_.emplace(std::move(options), folder_.Dir() + "/modem.log");
        settings_ = SampleSettings(modem_->Device());
        folder_.WriteSettings(settings_);
    }

    ProgramFolder folder_;
    std::optional<SimulatedModem> modem_;
    std::string settings_;
};
// A file's bytes; nullopt when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

}  // namespace countryset::testing
