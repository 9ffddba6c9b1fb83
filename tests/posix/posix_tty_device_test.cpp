#include "serial/posix_tty_device.h"

#include <gtest/gtest.h>

#include <tuple>

namespace countryset {
namespace {

// As a kernel lists its drivers: major 4 is shared by the consoles and the serial ports, major 5
// holds only the program's own terminal and the pseudo-terminal multiplexer.
constexpr char kProcDevices[] =
    "Character devices:\n"
    "  1 mem\n"
    "  4 /dev/vc/0\n"
    "  4 tty\n"
    "  4 ttyS\n"
    "  5 /dev/tty\n"
    "  5 /dev/console\n"
    "  5 /dev/ptmx\n"
    " 10 misc\n"
    "136 pts\n"
    "166 ttyACM\n"
    "188 ttyUSB\n"
    "216 rfcomm\n"
    "\n"
    "Block devices:\n"
    "  8 sd\n"
    "188 ttyUSB-lookalike\n";

TEST(ClassifyByMajorTest, OnlyATerminalDriverVouchesForADevice) {
    const std::tuple<unsigned, TtyDevice, std::string> cases[] = {
        {4, TtyDevice::Terminal, ""},
        {188, TtyDevice::Terminal, ""},
        {166, TtyDevice::Terminal, ""},
        {136, TtyDevice::Terminal, ""},
        {216, TtyDevice::Terminal, ""},
        {1, TtyDevice::NotTerminal, "mem"},
        {10, TtyDevice::NotTerminal, "misc"},
        {5, TtyDevice::NotTerminal, "/dev/tty"},  // never the process's own terminal
        {8, TtyDevice::Unknown, ""},              // a block driver's number says nothing here
        {250, TtyDevice::Unknown, ""},
    };
    for (const auto& [major, kind, driver] : cases) {
        SCOPED_TRACE(major);
        std::string named;
        EXPECT_EQ(ClassifyByMajor(kProcDevices, major, &named), kind);
        EXPECT_EQ(named, driver);
    }
    std::string named;
    EXPECT_EQ(ClassifyByMajor("", 4, &named), TtyDevice::Unknown) << "no /proc: nothing vouches";
    EXPECT_EQ(ClassifyByMajor("Character devices:\n  4tty\nx 4 tty\n", 4, &named),
              TtyDevice::Unknown);
}

TEST(FlockHolderTest, TheWholeFileLockOnTheNodeNamesItsProcess) {
    constexpr char kLocks[] =
        "1: POSIX  ADVISORY  WRITE 700 00:05:90 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 812 00:05:91 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 813 00:05:90 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 900 00:1a:90 0 EOF\n"
        "4: FLOCK  ADVISORY  WRITE 42 00:05:90 0 EOF\n"
        "5: FLOCK  ADVISORY  WRITE 77 00:05:90 0 EOF\n";
    EXPECT_EQ(FlockHolder(kLocks, 0, 5, 90, 1), 42) << "not the POSIX lock, nor a waiter";
    EXPECT_EQ(FlockHolder(kLocks, 0, 5, 90, 42), 77) << "never the process itself";
    EXPECT_EQ(FlockHolder(kLocks, 0, 0x1a, 90, 1), 900) << "minor in hex";
    EXPECT_EQ(FlockHolder(kLocks, 0, 5, 9, 1), std::nullopt) << "inode 9 is not 90";
    EXPECT_EQ(FlockHolder("garbage\n\n1:\n", 0, 5, 90, 1), std::nullopt);
}

}  // namespace
}  // namespace countryset
