#include "end_to_end/program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace countryset::testing {

namespace {

std::string MakeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/countryset-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

}  // namespace

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
    return text;
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string SampleSettings(const std::string& device) {
    const std::optional<std::string> sample =
        ReadFileBytes(std::string(COUNTRYSET_SOURCE_DIR) + "/data/countryset.DAT");
    if (!sample) {
        throw std::runtime_error("sample settings file missing");
    }
    return ReplaceAll(*sample, ";COM1=/dev/ttyUSB0", "COM1=" + device);
}

ProgramFolder::ProgramFolder() : dir_(MakeTempDir()) {
    // A link where the file system allows one: the program finds its settings beside the path
    // it was started from, and a hard link has that path.
    if (::link(COUNTRYSET_BINARY, Executable().c_str()) != 0) {
        std::filesystem::copy_file(COUNTRYSET_BINARY, Executable());
        std::filesystem::permissions(Executable(), std::filesystem::perms::owner_all);
    }
}

ProgramFolder::~ProgramFolder() {
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(dir_, ignored);
}

void ProgramFolder::WriteSettings(const std::string& text) const {
    WriteFileBytes(SettingsPath(), text);
}

std::optional<std::string> ProgramFolder::ReadSettings() const {
    return ReadFileBytes(SettingsPath());
}

ProgramResult ProgramFolder::Run(const std::string& input, const std::vector<std::string>& args,
                                 std::chrono::milliseconds timeout) const {
    // The console's input is a file in the folder: it ends where the operator stops.
    const std::string inPath = dir_ + "/.stdin";
    WriteFileBytes(inPath, input);
    const int in = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        throw std::runtime_error("cannot open " + inPath);
    }
    const pid_t pid = Start(in, args);
    ::close(in);
    return Wait(pid, timeout);
}

ProgramResult ProgramFolder::RunDetached(const std::vector<std::string>& args,
                                         std::chrono::milliseconds timeout,
                                         std::function<bool()> prepare) const {
    StartOptions options;
    options.args = args;
    options.beforeExec = [prepare = std::move(prepare)] {
        const int null = ::open("/dev/null", O_RDONLY);
        return (!prepare || prepare()) && ::setsid() >= 0 && null >= 0 && ::dup2(null, 0) == 0;
    };
    const int console = ::open("/dev/null", O_RDONLY);
    const pid_t pid = Start(console, options);
    ::close(console);
    return Wait(pid, timeout);
}

pid_t ProgramFolder::Start(int console, const std::vector<std::string>& args) const {
    StartOptions options;
    options.args = args;
    return Start(console, options);
}

pid_t ProgramFolder::Start(int console, const StartOptions& options) const {
    const std::vector<std::string>& args = options.args;
    // The console's output goes to files in the folder, emptied now for Output().
    const std::string outPath = dir_ + "/.stdout" + options.tag,
                      errPath = dir_ + "/.stderr" + options.tag;
    WriteFileBytes(outPath, "");
    // The environment less the display, so the console serves the dialog.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=")) {
            env.emplace_back(entry);
        }
    }
    std::vector<std::string> argStrings{options.argv0.empty() ? Executable() : options.argv0};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> envp, argv;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    for (std::string& a : argStrings) {
        argv.push_back(a.data());
    }
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(console, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0 || ::chdir(dir_.c_str()) != 0) {
            ::_exit(126);
        }
        if (options.beforeExec && !options.beforeExec()) {
            ::_exit(125);
        }
        ::execve(Executable().c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

ProgramResult ProgramFolder::Wait(pid_t pid, std::chrono::milliseconds timeout) const {
    return Wait(pid, timeout, std::string());
}

ProgramResult ProgramFolder::Wait(pid_t pid, std::chrono::milliseconds timeout,
                                  const std::string& tag) const {
    ProgramResult result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = Output(tag);
    result.err = ReadFileBytes(dir_ + "/.stderr" + tag).value_or("");
    return result;
}

std::string ProgramFolder::Output() const {
    return Output(std::string());
}

std::string ProgramFolder::Output(const std::string& tag) const {
    return ReadFileBytes(dir_ + "/.stdout" + tag).value_or("");
}

ConsoleRun::ConsoleRun(const ProgramFolder& folder, std::string tag)
    : folder_(folder), tag_(std::move(tag)) {
    int console[2];
    if (::pipe2(console, O_CLOEXEC) != 0) {
        return;
    }
    ProgramFolder::StartOptions options;
    options.tag = tag_;
    pid_ = folder.Start(console[0], options);
    ::close(console[0]);
    input_ = console[1];
}

ConsoleRun::~ConsoleRun() {
    if (input_ >= 0) {
        ::close(input_);
    }
    if (pid_ > 0 && !finished_) {
        folder_.Wait(pid_, std::chrono::milliseconds(0), tag_);
    }
}

bool ConsoleRun::Await(const std::string& text) const {
    // Generous: only a program that never gets there waits this long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (folder_.Output(tag_).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool ConsoleRun::Type(std::string_view text) const {
    return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ConsoleRun::Signal(int signal) const {
    ::kill(pid_, signal);
}

ProgramResult ConsoleRun::Finish() {
    ::close(input_);
    input_ = -1;
    finished_ = true;
    return folder_.Wait(pid_, std::chrono::seconds(30), tag_);
}

SimulatedModem::SimulatedModem(ModemSimOptions options, const std::string& logPath)
    : logPath_(logPath), sim_([&] {
          options.logPath = logPath;
          return options;
      }()) {
    std::string error;
    if (!sim_.Open(&error)) {
        throw std::runtime_error("modem simulator: " + error);
    }
    sim_.Start();
}

SimulatedModem::~SimulatedModem() {
    sim_.Stop();
}

std::string SimulatedModem::Received() const {
    return ReadFileBytes(logPath_).value_or("");
}

}  // namespace countryset::testing
