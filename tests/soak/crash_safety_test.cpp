// The settings file survives the program being killed (SIGKILL) at any moment of its write-back.
// The write-back starts when the operator dismisses the success message; each round dismisses
// it and kills the program after a random 0 to 2000 us. Afterwards the file must hold a whole
// text: the old one, the one with "CurrentSet" written (the first of the two keys), or the new
// one with both keys; never a mix or a part.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

constexpr const char* kSuccess = "Country set successfully.";

TEST(SettingsCrashSafety, KilledDuringWriteBackLeavesAWholeFile) {
    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    // COM3 leads to the modem too, so a success changes both keys: Germany (list position 11)
    // on COM3.
    const std::string before = ReplaceAll(SampleSettings(modem.Device()), "[Ports]\r\n",
                                          "[Ports]\r\nCOM3=" + modem.Device() + "\r\n");
    const std::string firstKey = ReplaceAll(before, "CurrentSet=0\r\n", "CurrentSet=11\r\n");
    const std::string after = ReplaceAll(firstKey, "CurrentCOM=1\r\n", "CurrentCOM=3\r\n");
    ASSERT_NE(after, firstKey);
    std::mt19937 random(std::random_device{}());
    int seen[3] = {};  // the old file, CurrentSet written, both keys written

    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        folder.WriteSettings(before);
        int console[2];
        ASSERT_EQ(::pipe2(console, O_CLOEXEC), 0);
        const pid_t pid = folder.Start(console[0]);
        ::close(console[0]);
        auto type = [&](std::string_view text) {
            EXPECT_EQ(::write(console[1], text.data(), text.size()), ssize_t(text.size()));
        };
        type("12\np3\n\n");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (folder.Output().find(kSuccess) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const int wait = std::uniform_int_distribution<int>(0, 2000)(random);
        type("\n");  // dismisses the message: the write-back begins
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
        ::kill(pid, SIGKILL);
        const ProgramResult result = folder.Wait(pid, std::chrono::seconds(10));
        ::close(console[1]);
        ASSERT_NE(result.out.find(kSuccess), std::string::npos) << "round " << round << result.out;

        const std::optional<std::string> file = folder.ReadSettings();
        const int kind = file == before ? 0 : file == firstKey ? 1 : file == after ? 2 : -1;
        ASSERT_GE(kind, 0) << "round " << round << " (kill after " << wait
                           << " us): settings file neither old nor new:\n"
                           << file.value_or("(gone)");
        ++seen[kind];
    }
    // The next write-back removes the temporary files the killed writers left behind.
    folder.WriteSettings(before);
    const ProgramResult last = folder.Run("12\np3\n\n\n");
    EXPECT_EQ(last.exitCode, 0) << last.out;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Dir())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
    std::cout << "crash safety: old file " << seen[0] << ", CurrentSet written " << seen[1]
              << ", both keys written " << seen[2] << std::endl;
    // The kills must land before and after the writes at least sometimes, or the test proves
    // nothing.
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[2], 0);
}

}  // namespace
}  // namespace countryset::testing
