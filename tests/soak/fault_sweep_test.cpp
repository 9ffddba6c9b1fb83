// Modem faults swept end to end: the real program against the simulator with each fault in
// turn, at every byte position of a hang-up, around the 3-second limit and in random
// combination. Every run must end within the limits with the message the modem's bytes call
// for, and leave the settings file untouched on every failure.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <vector>

#include "soak/modem_runs.h"

namespace countryset::testing {
namespace {

// Most failing runs wait out a full 3-second collection, so runs go side by side; they mostly
// sleep, so more of them than cores.
constexpr int kWorkers = kSanitizedBuild ? 4 : 8;

struct Case {
    ModemSimOptions options;
    OperatorChoice choice;
};

// Runs every case, several at a time, and reports each broken rule with its case.
std::vector<RunReport> RunCases(const std::vector<Case>& cases) {
    std::vector<RunReport> reports(cases.size());
    RunInParallel(static_cast<int>(cases.size()), kWorkers,
                  [&](const ProgramFolder& folder, int i) {
                      reports[static_cast<std::size_t>(i)] =
                          RunAndCheck(folder, cases[static_cast<std::size_t>(i)].options,
                                      cases[static_cast<std::size_t>(i)].choice);
                  });
    for (const RunReport& r : reports) {
        EXPECT_EQ(r.failure, "");
    }
    return reports;
}

ModemSimOptions HangUpAfter(long bytes) {
    ModemSimOptions options;
    options.hangupAfter = bytes;
    return options;
}

TEST(ModemFaultSweep, HangUpAtEveryBytePositionOfBothReplies) {
    // Germany: the probe's reply is 12 bytes, the country command's 16 ("AT+GCI=42\r" echoed,
    // then "\r\nOK\r\n"). Position 28 is a hang-up after the whole exchange.
    std::vector<Case> cases;
    for (long position = 0; position <= 28; ++position) {
        cases.push_back({HangUpAfter(position), OperatorChoice{12}});
    }
    const std::vector<RunReport> reports = RunCases(cases);
    for (std::size_t position = 0; position < reports.size(); ++position) {
        const Outcome wanted = position < 12   ? Outcome::kCantInit
                               : position < 28 ? Outcome::kCantSet
                                               : Outcome::kSet;
        EXPECT_EQ(reports[position].outcome, wanted) << "hang-up after " << position << " bytes";
    }
}

TEST(ModemFaultSweep, RepliesAroundTheThreeSecondLimit) {
    // 1000 ms: always in time; 2500 ms: either side of the limit, by where in the wall-clock
    // second the collection began; 3500 ms: always late.
    std::vector<Case> cases;
    for (int delay : {1000, 2500, 2500, 2500, 3500, 3500}) {
        ModemSimOptions options;
        options.delayMs = delay;
        cases.push_back({options, OperatorChoice{}});
    }
    const std::vector<RunReport> reports = RunCases(cases);
    EXPECT_EQ(reports.front().outcome, Outcome::kSet);
    EXPECT_EQ(reports.back().outcome, Outcome::kCantInit);
    for (const RunReport& r : reports) {
        // Never more than two collections of at most 3 s each, plus the start.
        EXPECT_LT(r.took, std::chrono::seconds(kSanitizedBuild ? 20 : 8));
    }
}

TEST(ModemFaultSweep, OneMegabyteFloodWithNulBytes) {
    std::vector<Case> cases;
    for (bool echo : {true, false}) {
        ModemSimOptions options;
        options.flood = 1 << 20;
        options.noEcho = !echo;
        cases.push_back({options, OperatorChoice{}});
    }
    for (const RunReport& r : RunCases(cases)) {
        EXPECT_EQ(r.outcome, Outcome::kCantInit);
    }
}

TEST(ModemFaultSweep, EachFaultAlone) {
    std::vector<Case> cases;
    auto add = [&](auto set) {
        ModemSimOptions options;
        set(options);
        cases.push_back({options, OperatorChoice{}});
    };
    add([](ModemSimOptions&) {});
    add([](ModemSimOptions& o) { o.noEcho = true; });
    add([](ModemSimOptions& o) { o.silent = true; });
    add([](ModemSimOptions& o) { o.errorGci = true; });
    for (int stray : {1, 2, 40}) {
        add([stray](ModemSimOptions& o) { o.stray = stray; });
    }
    for (const char* extra : {"X", "\r\n", "\r\nRING\r\n"}) {
        add([extra](ModemSimOptions& o) { o.extra = extra; });
    }
    add([](ModemSimOptions& o) { o.extra = std::string(2, '\0'); });
    add([](ModemSimOptions& o) { o.flood = 12; });
    add([](ModemSimOptions& o) { o.flood = 5000; });
    RunCases(cases);
}

TEST(ModemFaultSweep, RandomCombinationsOfFaults) {
    const unsigned seed = SoakSeed();
    std::mt19937 random(seed);
    std::cout << "fault combinations: seed " << seed << std::endl;
    auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    auto pick = [&](auto values) {
        return values[std::uniform_int_distribution<std::size_t>(0, std::size(values) - 1)(random)];
    };
    std::vector<Case> cases;
    for (int i = 0; i < (kSanitizedBuild ? 12 : 24); ++i) {
        ModemSimOptions o;
        o.noEcho = chance(25);
        o.delayMs = chance(30) ? pick(std::vector<int>{200, 1500, 2500, 3500}) : 0;
        o.stray = chance(25) ? pick(std::vector<int>{1, 3}) : 0;
        o.extra = chance(25) ? pick(std::vector<std::string>{"X", "\r\n", "OK\r\n"}) : "";
        o.flood = chance(15) ? pick(std::vector<int>{20, 4096, 1 << 20}) : 0;
        o.hangupAfter = chance(30) ? std::uniform_int_distribution<long>(0, 30)(random) : -1;
        o.silent = chance(10);
        o.errorGci = chance(20);
        OperatorChoice choice;
        choice.country = std::uniform_int_distribution<int>(0, 40)(random);
        cases.push_back({o, choice});
    }
    RunCases(cases);
    if (HasFailure()) {
        std::cout << "fault combinations failed with seed " << seed << std::endl;
    }
}

}  // namespace
}  // namespace countryset::testing
