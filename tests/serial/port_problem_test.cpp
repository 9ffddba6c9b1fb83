#include "serial/port_problem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

namespace countryset {
namespace {

using ::testing::HasSubstr;

// What the Windows port calls say when a port cannot be opened, as the operator needs it.
TEST(PortProblemTest, WindowsOpenErrorsMapToTheirReasons) {
    const std::tuple<std::uint32_t, PortProblem> cases[] = {
        {kWinErrorFileNotFound, PortProblem::NoSuchDevice},
        {kWinErrorPathNotFound, PortProblem::NoSuchDevice},
        {kWinErrorAccessDenied, PortProblem::InUse},
        {kWinErrorSharingViolation, PortProblem::InUse},
        {kWinErrorSemTimeout, PortProblem::NotConnected},
        {kWinErrorDeviceNotConnected, PortProblem::NotConnected},
        {0, PortProblem::Other},
        {87, PortProblem::Other},
    };
    for (const auto& [error, problem] : cases) {
        EXPECT_EQ(PortProblemOfWindowsError(error), problem) << error;
    }
}

// The second line names what the operator can act on: the device, the program holding it, the
// group to join, the driver it belongs to; and only what the system told.
TEST(PortProblemTest, TheReasonNamesWhatTheOperatorCanActOn) {
    const std::tuple<PortOpenError, std::vector<std::string>> cases[] = {
        {{PortProblem::NoSuchDevice, "/dev/ttyUSB0", {}, {}, {}}, {"/dev/ttyUSB0 does not exist"}},
        {{PortProblem::InUse, "/dev/ttyS0", "minicom, process 812", {}, {}},
         {"in use by another program (minicom, process 812)"}},
        {{PortProblem::ExclusiveLeftBehind, "/dev/pts/4", {}, {}, {}},
         {"exclusive use", "fuser -v /dev/pts/4"}},
        {{PortProblem::PermissionDenied, "/dev/ttyS0", {}, "dialout", {}},
         {"join the group 'dialout'", "usermod -aG dialout"}},
        {{PortProblem::PermissionDenied, "/dev/ttyS0", {}, {}, {}}, {"ask the administrator"}},
        {{PortProblem::NotTerminal, "/dev/null", {}, {}, "its driver is 'mem'"},
         {"/dev/null is not a terminal (its driver is 'mem')"}},
        {{PortProblem::NotTerminal, "/dev/x", {}, {}, {}}, {"Nothing says that /dev/x is"}},
        {{PortProblem::NotConnected, "COM5", {}, {}, {}}, {"COM5 did not connect"}},
        {{PortProblem::Other, "COM5", {}, {}, "system error 87"}, {"system error 87"}},
    };
    for (const auto& [error, parts] : cases) {
        const std::string text = PortProblemText(error);
        for (const std::string& part : parts) {
            EXPECT_THAT(text, HasSubstr(part));
        }
        EXPECT_EQ(text.find('\n'), std::string::npos) << "one line";
    }
    EXPECT_EQ(PortProblemText({}), "");
}

}  // namespace
}  // namespace countryset
