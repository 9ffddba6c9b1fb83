// Several ports at once: the jobs overlap, their results come back in port order, one port's
// failure stays its own, and the summary and exit status count them; their lines never mix.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/line_output.h"
#include "app/port_runner.h"

namespace countryset {
namespace {

PortResult Result(const char* port, int status, RunOutcomeKind kind = RunOutcomeKind::SetVerified) {
    PortResult result;
    result.port = port;
    result.status = status;
    result.outcome.kind = kind;
    return result;
}

TEST(PortRunnerTest, JobsOverlapAndResultsComeInPortOrder) {
    const std::vector<std::string> ports = {"COM1", "COM2", "COM3", "COM4"};
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t started = 0;
    std::vector<std::string> finished;
    const std::vector<PortResult> results = RunPorts(ports, [&](const std::string& port) {
        std::unique_lock lock(mutex);
        ++started;
        changed.notify_all();
        // Every job waits for all the others to start: jobs run one after another never get
        // there (and fail at the bound instead of hanging).
        const bool together = changed.wait_for(lock, std::chrono::seconds(20),
                                               [&] { return started == ports.size(); });
        // The later the port, the sooner it ends: the order must come from the ports.
        changed.wait_for(lock, std::chrono::seconds(20), [&] {
            return finished.size() ==
                   static_cast<std::size_t>(ports.end() -
                                            std::find(ports.begin(), ports.end(), port) - 1);
        });
        finished.push_back(port);
        changed.notify_all();
        if (port == "COM2") {
            throw std::runtime_error("no memory");
        }
        PortResult result;
        result.status = together ? 0 : 1;
        result.outcome.device = "/dev/" + port;
        return result;
    });
    EXPECT_EQ(finished, (std::vector<std::string>{"COM4", "COM3", "COM2", "COM1"}));
    ASSERT_EQ(results.size(), ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(results[i].port, ports[i]);
        EXPECT_EQ(results[i].outcome.port, ports[i]);
        if (ports[i] == "COM2") {
            // The job that threw failed its own port only.
            EXPECT_EQ(results[i].status, static_cast<int>(ExitStatus::NotSet));
            EXPECT_EQ(results[i].outcome.reason, "the run ended early: no memory");
        } else {
            EXPECT_EQ(results[i].status, 0) << ports[i];
            EXPECT_EQ(results[i].outcome.device, "/dev/" + ports[i]);
        }
    }
}

TEST(PortRunnerTest, SummaryAndStatusCountEachKind) {
    using K = RunOutcomeKind;
    struct Case {
        std::vector<PortResult> results;
        const char* summary;
        int status;
    };
    const Case cases[] = {
        {{Result("COM1", 0), Result("COM2", 0, K::AlreadySet)},
         "2 ports: 1 set, 1 already set, 0 failed",
         0},
        {{Result("COM1", 0), Result("COM3", 5, K::NoModem), Result("COM4", 7, K::HoldsOther)},
         "3 ports: 1 set, 0 already set, 2 failed (COM3 COM4)",
         8},
        // --check: a port to change is no failure, and alone it keeps its own status.
        {{Result("COM1", 0, K::AlreadySet), Result("COM2", 9, K::WouldChange)},
         "2 ports: 0 set, 1 already set, 1 to change, 0 failed",
         9},
        {{Result("COM1", 9, K::WouldChange), Result("COM2", 4, K::PortNotUsable)},
         "2 ports: 0 set, 0 already set, 1 to change, 1 failed (COM2)",
         8},
        {{Result("COM1", 2, K::Cancelled)}, "1 port: 0 set, 0 already set, 1 failed (COM1)", 8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SummaryLine(c.results), c.summary);
        EXPECT_EQ(CombinedStatus(c.results), c.status) << c.summary;
    }
}

// Each thread writes its lines in pieces, flushing between them: the stream sees whole lines
// only, and an unfinished last line is ended rather than joined to another.
TEST(LineOutputTest, LinesOfSeveralThreadsNeverMix) {
    std::ostringstream target;
    LineOutput output(target);
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&output, t] {
            LineStream out(output);
            for (int i = 0; i < kLines; ++i) {
                out << "thread " << t << std::flush << " line " << i << std::flush << " end"
                    << std::endl;
            }
            out << "thread " << t << " unfinished";
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int> seen(kThreads, 0);
    std::istringstream in(target.str());
    for (std::string line; std::getline(in, line);) {
        int t = -1;
        int i = -1;
        char tail[16] = {};
        if (std::sscanf(line.c_str(), "thread %d line %d %15s", &t, &i, tail) == 3) {
            ASSERT_EQ(std::string(tail), "end") << line;
            ASSERT_TRUE(t >= 0 && t < kThreads) << line;
            EXPECT_EQ(i, seen[static_cast<std::size_t>(t)]++) << line;
        } else {
            ASSERT_EQ(std::sscanf(line.c_str(), "thread %d unfinished", &t), 1) << line;
            EXPECT_EQ(line, "thread " + std::to_string(t) + " unfinished");
        }
    }
    EXPECT_EQ(seen, std::vector<int>(kThreads, kLines));
    EXPECT_EQ(target.str().back(), '\n');
}

}  // namespace
}  // namespace countryset
