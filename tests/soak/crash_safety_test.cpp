// The settings file survives the program being killed (SIGKILL) at any moment of its write-back.
// The write-back starts when the operator dismisses the success message; each round dismisses
// it and kills the program after a random 0 to 2000 us. Afterwards the file must hold a whole
// text: the old one, the one with "CurrentSet" written (the first of the two keys), or the new
// one with both keys; never a mix or a part. Temporary files a kill leaves behind are counted
// and reported, not failed: they are hidden and never read as settings.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <thread>

#include "soak/modem_runs.h"

extern char** environ;

namespace countryset::testing {
namespace {

constexpr const char* kSuccess = "Country set successfully.";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::vector<std::string> TemporaryFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name.find(".tmp") != std::string::npos) {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    return names;
}

// The program with its console on pipes that stay open, so the test decides when each Enter
// comes.
class LiveProgram {
public:
    explicit LiveProgram(const ProgramFolder& folder) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::vector<char*> envp;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=")) {
                envp.push_back(*e);
            }
        }
        envp.push_back(nullptr);
        std::string exe = folder.Executable();
        char* argv[] = {exe.data(), nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            if (::chdir(folder.Dir().c_str()) != 0) {
                ::_exit(126);
            }
            ::execve(exe.c_str(), argv, envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~LiveProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        ::close(in_);
        ::close(out_);
    }

    void Type(const std::string& text) {
        [[maybe_unused]] ssize_t n = ::write(in_, text.data(), text.size());
    }
    // Reads the console until the text shows; false at the end of output or the deadline.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) {
                return false;
            }
            output_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    void Kill() { ::kill(pid_, SIGKILL); }
    // The wait status.
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string output_;
};

TEST(SettingsCrashSafety, KilledDuringWriteBackLeavesAWholeFile) {
    const int rounds = kSanitizedBuild ? 60 : 200;
    const unsigned seed = SoakSeed();
    std::mt19937 random(seed);
    std::cout << "crash safety: " << rounds << " kills, seed " << seed << std::endl;

    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    // COM3 leads to the modem too, so a success changes both keys: Germany (list position 11)
    // on COM3.
    const std::string before = Replace(SoakSettings(modem.Device()), "[Ports]\r\n",
                                       "[Ports]\r\nCOM3=" + modem.Device() + "\r\n");
    const std::string firstKey = Replace(before, "CurrentSet=0\r\n", "CurrentSet=11\r\n");
    const std::string after = Replace(firstKey, "CurrentCOM=1\r\n", "CurrentCOM=3\r\n");

    int old = 0, half = 0, whole = 0, exitedFirst = 0, leftovers = 0;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        folder.WriteSettings(before);
        LiveProgram program(folder);
        program.Type("12\np3\n\n");
        ASSERT_TRUE(program.WaitFor(kSuccess, std::chrono::seconds(kSanitizedBuild ? 30 : 10)))
            << "round " << round << ": no success message\n"
            << program.Output();
        const auto wait =
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random));
        program.Type("\n");  // dismisses the message: the write-back begins
        std::this_thread::sleep_for(wait);
        program.Kill();
        const int status = program.Wait();
        if (WIFEXITED(status)) {
            ++exitedFirst;
        }

        const std::optional<std::string> file = folder.ReadSettings();
        ASSERT_TRUE(file.has_value()) << "round " << round << ": settings file gone";
        if (*file == before) {
            ++old;
        } else if (*file == firstKey) {
            ++half;
        } else if (*file == after) {
            ++whole;
        } else {
            FAIL() << "round " << round << " (kill after " << wait.count()
                   << " us): settings file neither old nor new:\n"
                   << *file;
        }
    }
    leftovers = static_cast<int>(TemporaryFiles(folder.Dir()).size());
    // The next write-back removes what the killed writers left behind.
    folder.WriteSettings(before);
    const ProgramResult last = folder.Run("12\np3\n\n\n");
    EXPECT_EQ(last.exitCode, 0) << last.out;
    EXPECT_TRUE(TemporaryFiles(folder.Dir()).empty());
    std::cout << "crash safety: old file " << old << ", CurrentSet written " << half
              << ", both keys written " << whole << "; program done before the kill " << exitedFirst
              << "; temporary files left by kills " << leftovers << std::endl;
    // The kills must have landed before, between and after the two writes at least sometimes,
    // or the test proves nothing.
    if (!HasFailure() && !kSanitizedBuild) {
        EXPECT_GT(old, 0);
        EXPECT_GT(whole, 0);
    }
}

}  // namespace
}  // namespace countryset::testing
