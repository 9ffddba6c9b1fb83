// The settings file survives the program being killed (SIGKILL) at any moment of its write-back.
// The write-back starts as soon as the modem has accepted the country, right after the operator
// pressed OK. How long a run takes from there depends on the machine and its load (a sanitized
// build on a busy core is many times slower), so the test first times whole uninterrupted runs
// from OK to their end, then kills the program at random moments spread over that window.
// Afterwards the file must hold a whole text: the old one or the new one with both keys; never
// one key without the other, a mix or a part. Which of the two a round ends in depends on the
// machine's speed, so the counts are reported, not asserted.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

// Germany (list position 11) on COM3, then OK, then the message dismissed: from the OK on the
// program runs to its end by itself, the write-back on the way.
constexpr std::string_view kTrigger = "12\np3\n\n\n";

TEST(SettingsCrashSafety, KilledDuringWriteBackLeavesAWholeFile) {
    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    // COM3 leads to the modem too, so a success changes both keys.
    const std::string before = ReplaceAll(SampleSettings(modem.Device()), "[Ports]\r\n",
                                          "[Ports]\r\nCOM3=" + modem.Device() + "\r\n");
    const std::string after =
        ReplaceAll(ReplaceAll(before, "CurrentSet=0\r\n", "CurrentSet=11\r\n"), "CurrentCOM=1\r\n",
                   "CurrentCOM=3\r\n");
    const std::string states[] = {before, after};
    const char* stateNames[] = {"old file", "both keys written"};

    // The window to aim at: from the OK to the program's end, on this machine now.
    std::chrono::microseconds window{0};
    for (int round = 0; round < 5; ++round) {
        folder.WriteSettings(before);
        ConsoleRun run(folder);
        ASSERT_TRUE(run.Await("> "));
        const auto triggered = std::chrono::steady_clock::now();
        ASSERT_TRUE(run.Type(kTrigger));
        const ProgramResult result = run.Finish();
        window = std::max(window, std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - triggered));
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        ASSERT_EQ(folder.ReadSettings(), after);
    }

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<std::int64_t> delay(0, window.count() + window.count() / 4);
    int seen[2] = {};
    // A sanitized program starts several times slower; fewer rounds keep the test near a minute.
    const int rounds = COUNTRYSET_SANITIZED ? 60 : 200;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        folder.WriteSettings(before);
        ConsoleRun run(folder);
        ASSERT_TRUE(run.Await("> "));
        const std::chrono::microseconds wait{delay(random)};
        ASSERT_TRUE(run.Type(kTrigger));
        std::this_thread::sleep_for(wait);
        run.Signal(SIGKILL);
        run.Finish();

        const std::optional<std::string> file = folder.ReadSettings();
        const auto kind = std::find(std::begin(states), std::end(states), file) - states;
        ASSERT_LT(kind, 2) << "round " << round << " (kill after " << wait.count()
                           << " us): settings file neither old nor new:\n"
                           << file.value_or("(gone)");
        ++seen[kind];
    }
    // The next write-back removes the temporary files the killed writers left behind.
    folder.WriteSettings(before);
    const ProgramResult last = folder.Run(std::string(kTrigger));
    EXPECT_EQ(last.exitCode, 0) << last.out;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Dir())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
    std::cout << "crash safety: kills spread over 0-" << window.count() * 5 / 4 << " us;";
    for (int kind = 0; kind < 2; ++kind) {
        std::cout << " " << stateNames[kind] << " " << seen[kind];
    }
    std::cout << std::endl;
}

}  // namespace
}  // namespace countryset::testing
