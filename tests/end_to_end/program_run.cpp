#include "end_to_end/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
    return text;
}

}  // namespace

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
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // The environment less the display, so the console serves the dialog.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=")) {
            env.emplace_back(entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string exe = Executable();
    std::vector<std::string> argStrings{exe};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (::chdir(dir_.c_str()) != 0) {
            ::_exit(126);
        }
        ::execve(exe.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    // Input is small: it fits the pipe, so writing it all at once cannot block.
    ::signal(SIGPIPE, SIG_IGN);
    [[maybe_unused]] ssize_t written = ::write(in[1], input.data(), input.size());
    ::close(in[1]);

    ProgramResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
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
