// The settings file as operators share it: the real program, started as processes against the
// modem simulator, with the file stored the moment the modem took the country, two runs on one
// file, and files that cannot be trusted or read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;

constexpr const char* kSuccess = "Country set successfully.";
constexpr auto kPatience = std::chrono::seconds(30);  // catches hangs only

std::string WithChoice(const std::string& settings, int currentSet, int currentCom) {
    return ReplaceAll(ReplaceAll(settings, "CurrentSet=0\r\n",
                                 "CurrentSet=" + std::to_string(currentSet) + "\r\n"),
                      "CurrentCOM=1\r\n", "CurrentCOM=" + std::to_string(currentCom) + "\r\n");
}

// The modem holds the country before the operator reads the message: a terminal closed then
// (SIGHUP) must not lose the choice.
TEST(SettingsFileRun, ChoiceIsStoredWhileTheSuccessMessageWaits) {
    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    const std::string before = SampleSettings(modem.Device());
    folder.WriteSettings(before);
    ConsoleRun run(folder, "");
    ASSERT_TRUE(run.Await("> "));
    ASSERT_TRUE(run.Type("12\n\n"));  // Germany, OK; the message is left waiting
    ASSERT_TRUE(run.Await(kSuccess));
    EXPECT_EQ(folder.ReadSettings(), WithChoice(before, 11, 1));
    run.Signal(SIGHUP);
    run.Finish();
    EXPECT_EQ(folder.ReadSettings(), WithChoice(before, 11, 1));
}

// Two operators, COM1 and COM2, one settings file; the test holds the folder's lock while both
// runs reach their write-back, edits the file by hand meanwhile, then lets them go together.
TEST(SettingsFileRun, TwoRunsOnOneFileKeepAPairOfOneRunAndEveryOtherByte) {
    ProgramFolder folder;
    SimulatedModem first({}, folder.Dir() + "/first.log");
    SimulatedModem second({}, folder.Dir() + "/second.log");
    const std::string before = ReplaceAll(SampleSettings(first.Device()),
                                          ";COM2=/dev/serial/by-id/usb-Your_Adapter-if00-port0",
                                          "COM2=" + second.Device());
    const int folderFd = ::open(folder.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folderFd, 0);
    int mixed = 0;
    for (int round = 0; round < 12 && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        folder.WriteSettings(before);
        ConsoleRun a(folder, "a");
        ConsoleRun b(folder, "b");
        ASSERT_TRUE(a.Await("> ") && b.Await("> "));
        const std::size_t firstSeen = first.Received().size();
        const std::size_t secondSeen = second.Received().size();

        ASSERT_EQ(::flock(folderFd, LOCK_EX), 0);
        a.Type("12\n\n\n");      // Germany on the preselected COM1
        b.Type("11\np2\n\n\n");  // France on COM2
        // Both runs are at their write-back once their modems have the command (or soon after);
        // the hold is short of the program's patience with a held lock.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while ((first.Received().find("AT+GCI", firstSeen) == std::string::npos ||
                second.Received().find("AT+GCI", secondSeen) == std::string::npos) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::string edited = ReplaceAll(*folder.ReadSettings(), "Title=Country Setting",
                                              "Title=Edited " + std::to_string(round));
        WriteFileBytes(folder.SettingsPath() + ".edit", edited);
        std::filesystem::rename(folder.SettingsPath() + ".edit", folder.SettingsPath());
        ASSERT_EQ(::flock(folderFd, LOCK_UN), 0);

        const ProgramResult ra = a.Finish();
        const ProgramResult rb = b.Finish();
        ASSERT_EQ(ra.exitCode, 0) << ra.out << ra.err;
        ASSERT_EQ(rb.exitCode, 0) << rb.out << rb.err;
        const std::string base =
            ReplaceAll(before, "Title=Country Setting", "Title=Edited " + std::to_string(round));
        const std::optional<std::string> file = folder.ReadSettings();
        EXPECT_THAT(file, AnyOf(WithChoice(base, 11, 1), WithChoice(base, 10, 2)));
        mixed += file != WithChoice(base, 11, 1) && file != WithChoice(base, 10, 2);
    }
    ::close(folderFd);
    EXPECT_EQ(mixed, 0);
}

// A settings file that is there but is no file to read ends the run with its name and the
// reason, before the dialog; a FIFO is never opened, so nothing hangs.
TEST(SettingsFileRun, UnreadableFileIsNamedAndEndsTheRun) {
    struct Case {
        const char* name;
        void (*make)(const std::string& path);
        const char* reason;
    };
    const Case cases[] = {
        {"folder", [](const std::string& p) { std::filesystem::create_directory(p); },
         "Is a directory"},
        {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "Not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramFolder folder;
        c.make(folder.SettingsPath());
        const ProgramResult result = folder.Run("\n\n\n");
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_THAT(result.out, HasSubstr("Error"));
        EXPECT_THAT(result.out, HasSubstr("The settings file " + folder.SettingsPath() +
                                          " cannot be read: " + c.reason + "."));
        EXPECT_THAT(result.out, ::testing::Not(HasSubstr("> ")));
    }
}

// Hides /proc from the program in a mount namespace of its own.
bool HideProc() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

// Without /proc the program cannot tell where it lies; a path made from argv[0] could lead to
// anyone's settings file (here a decoy beside the folder the program was started from).
TEST(SettingsFileRun, WithoutItsOwnPathTheProgramRefusesToStart) {
    if (COUNTRYSET_SANITIZED) {
        GTEST_SKIP() << "the sanitizers' runtime needs /proc";
    }
    ProgramFolder folder;
    SimulatedModem modem({}, folder.Dir() + "/modem.log");
    std::filesystem::create_directory(folder.Dir() + "/decoy");
    const std::string decoy = folder.Dir() + "/decoy/countryset.DAT";
    WriteFileBytes(decoy, SampleSettings(modem.Device()));
    // Enter, Enter: a program that read the decoy would set its preselected country.
    WriteFileBytes(folder.Dir() + "/.input", "\n\n\n");
    const int in = ::open((folder.Dir() + "/.input").c_str(), O_RDONLY | O_CLOEXEC);
    ProgramFolder::StartOptions options;
    options.beforeExec = HideProc;
    options.argv0 = "decoy/countryset";
    const pid_t pid = folder.Start(in, options);
    ::close(in);
    const ProgramResult result = folder.Wait(pid, kPatience);
    if (result.exitCode == 125) {
        GTEST_SKIP() << "no mount namespace for this test (needs root)";
    }
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr("cannot tell where its own file lies"));
    EXPECT_EQ(modem.Received(), "");
    EXPECT_EQ(ReadFileBytes(decoy), SampleSettings(modem.Device()));
}

}  // namespace
}  // namespace countryset::testing
