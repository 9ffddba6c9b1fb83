#include "app/port_runner.h"

#include <exception>
#include <system_error>
#include <thread>

namespace countryset {

namespace {

constexpr int kSet = static_cast<int>(ExitStatus::Set);
constexpr int kCheckDiffers = static_cast<int>(ExitStatus::CheckDiffers);

// The job, with whatever escapes it turned into a failure of its own port.
PortResult RunOne(const std::string& port, const PortJob& job) {
    PortResult result;
    try {
        result = job(port);
    } catch (const std::exception& e) {
        result = PortResult{};
        result.outcome.reason = std::string("the run ended early: ") + e.what();
    } catch (...) {
        result = PortResult{};
        result.outcome.reason = "the run ended early";
    }
    result.port = port;
    if (result.outcome.port.empty()) {
        result.outcome.port = port;
    }
    return result;
}

}  // namespace

std::vector<PortResult> RunPorts(const std::vector<std::string>& ports, const PortJob& job) {
    std::vector<PortResult> results(ports.size());
    std::vector<std::thread> threads;
    std::vector<std::size_t> leftOver;
    threads.reserve(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        try {
            // Each thread writes only its own element, which nobody reads before the join.
            threads.emplace_back(
                [&results, &ports, &job, i] { results[i] = RunOne(ports[i], job); });
        } catch (const std::system_error&) {
            leftOver.push_back(i);
        }
    }
    for (const std::size_t i : leftOver) {
        results[i] = RunOne(ports[i], job);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return results;
}

PortTally Tally(const std::vector<PortResult>& results) {
    PortTally tally;
    for (const PortResult& result : results) {
        if (result.status == kSet) {
            ++(result.outcome.kind == RunOutcomeKind::AlreadySet ? tally.alreadySet : tally.set);
        } else if (result.status == kCheckDiffers) {
            ++tally.wouldChange;
        } else {
            ++tally.failed;
        }
    }
    return tally;
}

std::string SummaryLine(const std::vector<PortResult>& results) {
    const PortTally tally = Tally(results);
    std::string line = std::to_string(results.size()) +
                       (results.size() == 1 ? " port: " : " ports: ") + std::to_string(tally.set) +
                       " set, " + std::to_string(tally.alreadySet) + " already set, ";
    if (tally.wouldChange > 0) {
        line += std::to_string(tally.wouldChange) + " to change, ";
    }
    line += std::to_string(tally.failed) + " failed";
    if (tally.failed > 0) {
        std::string failed;
        for (const PortResult& result : results) {
            if (result.status != kSet && result.status != kCheckDiffers) {
                failed += (failed.empty() ? "" : " ") + result.port;
            }
        }
        line += " (" + failed + ")";
    }
    return line;
}

int CombinedStatus(const std::vector<PortResult>& results) {
    bool allSet = true;
    bool onlyDiffers = true;
    for (const PortResult& result : results) {
        allSet = allSet && result.status == kSet;
        onlyDiffers = onlyDiffers && (result.status == kSet || result.status == kCheckDiffers);
    }
    if (allSet) {
        return kSet;
    }
    return onlyDiffers ? kCheckDiffers : static_cast<int>(ExitStatus::SomeFailed);
}

}  // namespace countryset
