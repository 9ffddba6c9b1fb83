#include "serial/posix_process_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace countryset {
namespace {

// What one child did: whether it released, and how it ended.
struct Ending {
    std::string released;
    bool exited = false;
    int code = -1;
    int signal = 0;
};

// A child that takes the process's signals with a release that reports itself on a pipe. It
// says when it is ready, then waits to be ended, or with `breakPipe` writes into a pipe with no
// reader and exits with 0 when the write merely failed.
Ending RunChild(int ignoredAtStart, const std::vector<int>& sent, bool breakPipe = false) {
    int report[2], ready[2];
    EXPECT_EQ(::pipe(report), 0);
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            ::signal(signal, signal == ignoredAtStart ? SIG_IGN : SIG_DFL);
        }
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::close(report[0]);
        ::close(ready[0]);
        ProcessSignals signals([fd = report[1]] {
            ssize_t ignored = ::write(fd, "released", 8);
            (void)ignored;
        });
        if (breakPipe) {
            int dead[2];
            if (::pipe(dead) != 0) {
                ::_exit(3);
            }
            ::close(dead[0]);
            ::_exit(::write(dead[1], "x", 1) < 0 && errno == EPIPE ? 0 : 4);
        }
        ssize_t ignored = ::write(ready[1], "!", 1);
        (void)ignored;
        for (;;) {
            ::pause();
        }
    }
    ::close(report[1]);
    ::close(ready[1]);
    char byte;
    if (::read(ready[0], &byte, 1) == 1) {
        for (int signal : sent) {
            ::kill(pid, signal);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Ending ending;
    char buffer[64];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        ending.released.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(report[0]);
    ::close(ready[0]);
    ending.exited = WIFEXITED(status);
    ending.code = ending.exited ? WEXITSTATUS(status) : -1;
    ending.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ending;
}

// Each ending signal releases once and then ends the process as that signal; one the process
// was started with ignored stays ignored.
TEST(ProcessSignalsTest, EndingSignalsReleaseThenEndAsTheSignalWould) {
    // Ignored at start, signals sent, the signal that ends the child.
    const std::tuple<int, std::vector<int>, int> cases[] = {
        {0, {SIGINT}, SIGINT},
        {0, {SIGTERM}, SIGTERM},
        {0, {SIGHUP}, SIGHUP},
        {0, {SIGQUIT}, SIGQUIT},
        {SIGHUP, {SIGHUP, SIGTERM}, SIGTERM},
    };
    for (const auto& [ignored, sent, ends] : cases) {
        SCOPED_TRACE(::testing::Message() << "ignored " << ignored << ", ends by " << ends);
        const Ending ending = RunChild(ignored, sent);
        EXPECT_EQ(ending.signal, ends);
        EXPECT_EQ(ending.released, "released");
    }
}

TEST(ProcessSignalsTest, AWriteWithoutReaderFailsInsteadOfEndingTheProcess) {
    const Ending ending = RunChild(0, {}, true);
    EXPECT_EQ(ending.signal, 0);
    EXPECT_TRUE(ending.exited);
    EXPECT_EQ(ending.code, 0);
    EXPECT_EQ(ending.released, "");
}

}  // namespace
}  // namespace countryset
