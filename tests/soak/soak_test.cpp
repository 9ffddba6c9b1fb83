// Soak: many consecutive runs of the real program against simulated modems with randomly chosen
// faults and operator choices (seeded; the seed is printed). Every run is checked as in the
// fault sweeps; over all runs, nothing may crash, hang or corrupt the settings file, and this
// process, which hosts every simulator, must end with the descriptors and threads it began with.
//
// COUNTRYSET_SOAK_RUNS sets the number of runs (100 by default, fewer under sanitizers);
// COUNTRYSET_SOAK_SEED replays a seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "soak/modem_runs.h"

namespace countryset::testing {
namespace {

int SoakRuns() {
    if (const char* text = std::getenv("COUNTRYSET_SOAK_RUNS"); text != nullptr && *text) {
        return std::atoi(text);
    }
    return kSanitizedBuild ? 30 : 100;
}

struct SoakCase {
    ModemSimOptions options;
    OperatorChoice choice;
};

// Mostly quick runs: a fault that makes the program wait out its 3-second limit is drawn about
// one time in four, so a thousand runs stay within a few minutes.
SoakCase Draw(std::mt19937& random) {
    auto percent = [&] { return std::uniform_int_distribution<int>(0, 99)(random); };
    SoakCase c;
    const int choice = percent();
    if (choice < 4) {
        c.choice.cancel = true;
    } else if (choice < 8) {
        c.choice.secondPort = true;
    } else {
        c.choice.country = std::uniform_int_distribution<int>(0, 40)(random);
    }
    ModemSimOptions& o = c.options;
    const int fault = percent();
    if (fault < 40) {
        // no fault
    } else if (fault < 48) {
        o.noEcho = true;
    } else if (fault < 53) {
        o.errorGci = true;
    } else if (fault < 60) {
        o.stray = std::uniform_int_distribution<int>(1, 8)(random);
    } else if (fault < 68) {
        o.extra = std::string(std::uniform_int_distribution<std::size_t>(1, 40)(random), 'x');
    } else if (fault < 74) {
        o.flood = std::uniform_int_distribution<int>(1, 70000)(random);
    } else if (fault < 90) {
        o.hangupAfter = std::uniform_int_distribution<long>(0, 30)(random);
    } else if (fault < 94) {
        o.delayMs = std::uniform_int_distribution<int>(0, 1000)(random);
    } else if (fault < 97) {
        o.delayMs = std::uniform_int_distribution<int>(2000, 4000)(random);
    } else {
        o.silent = true;
    }
    // Now and then a second fault on top.
    if (percent() < 10) {
        o.noEcho = o.noEcho || percent() < 50;
        o.extra += percent() < 50 ? "\r\n" : "";
    }
    return c;
}

TEST(Soak, RandomFaultsAndChoices) {
    const int runs = SoakRuns();
    const unsigned seed = SoakSeed();
    std::cout << "soak: " << runs << " runs, seed " << seed << " (COUNTRYSET_SOAK_SEED=" << seed
              << " replays it)" << std::endl;
    std::mt19937 random(seed);
    std::vector<SoakCase> cases;
    for (int i = 0; i < runs; ++i) {
        cases.push_back(Draw(random));
    }

    // ThreadSanitizer starts a thread of its own with the first thread of the process; let it
    // start before counting.
    std::thread([] {}).join();
    const int descriptorsBefore = OpenDescriptorCount();
    const int threadsBefore = ThreadCount();

    std::mutex mutex;
    std::map<std::string, int> outcomes;
    std::vector<std::string> failures;
    const auto start = std::chrono::steady_clock::now();
    RunInParallel(runs, kSanitizedBuild ? 4 : 8, [&](const ProgramFolder& folder, int i) {
        const SoakCase& c = cases[static_cast<std::size_t>(i)];
        const RunReport report = RunAndCheck(folder, c.options, c.choice);
        std::lock_guard lock(mutex);
        ++outcomes[OutcomeName(report.outcome)];
        if (!report.failure.empty()) {
            failures.push_back("run " + std::to_string(i) + ": " + report.failure);
        }
    });
    const auto took =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);

    std::cout << "soak: " << runs << " runs in " << took.count() << " s, " << failures.size()
              << " failed;";
    for (const auto& [outcome, count] : outcomes) {
        std::cout << " " << outcome << ": " << count << ";";
    }
    std::cout << std::endl;
    for (const std::string& f : failures) {
        ADD_FAILURE() << f;
    }
    if (!failures.empty()) {
        std::cout << "soak failed with seed " << seed << std::endl;
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore) << "descriptors leaked";
    EXPECT_EQ(ThreadCount(), threadsBefore) << "threads left running";
}

}  // namespace
}  // namespace countryset::testing
