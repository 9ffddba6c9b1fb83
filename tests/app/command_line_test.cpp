#include <gtest/gtest.h>

#include <vector>

#include "app/command_line.h"

namespace countryset {
namespace {

CommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "countryset");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineTest, TheJobTakesNoArguments) {
    EXPECT_EQ(Parse({}).action, CommandLine::Action::Run);
    EXPECT_FALSE(Parse({}).console);
    const CommandLine console = Parse({"--console"});
    EXPECT_EQ(console.action, CommandLine::Action::Run);
    EXPECT_TRUE(console.console);
}

TEST(CommandLineTest, HelpAndVersionWinOverEverythingBeforeThem) {
    EXPECT_EQ(Parse({"--console", "--help"}).action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"-h"}).action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, CommandLine::Action::Version);
}

TEST(CommandLineTest, AnythingElseIsAUsageErrorNamingIt) {
    for (const char* bad : {"COM1", "--consol", "-", "", "--help=1"}) {
        const CommandLine result = Parse({bad});
        EXPECT_EQ(result.action, CommandLine::Action::UsageError) << bad;
        EXPECT_NE(result.error.find(bad), std::string::npos) << bad;
    }
    EXPECT_EQ(Parse({"--version", "x"}).action, CommandLine::Action::Version);
    EXPECT_EQ(Parse({"x", "--version"}).action, CommandLine::Action::UsageError);
}

}  // namespace
}  // namespace countryset
