// What each command line means, and the name matching of the scripted run.
#include <gtest/gtest.h>

#include <vector>

#include "app/choice_presenter.h"
#include "app/command_line.h"

namespace countryset {
namespace {

using Action = CommandLine::Action;
using Mode = CommandLine::Mode;

CommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "countryset");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineTest, EachCommandLineMeansOneThing) {
    struct Case {
        std::vector<const char*> args;
        Action action;
        Mode mode;
        const char* country;
        const char* port;
    };
    const Case cases[] = {
        {{}, Action::Run, Mode::Dialog, "", ""},
        {{"--console"}, Action::Run, Mode::Dialog, "", ""},
        {{"--help"}, Action::Help, Mode::Dialog, "", ""},
        {{"-h"}, Action::Help, Mode::Dialog, "", ""},
        {{"--version"}, Action::Version, Mode::Dialog, "", ""},
        {{"--country", "Spain"}, Action::Run, Mode::Country, "Spain", ""},
        {{"--country=United States", "--port", "com3"},
         Action::Run,
         Mode::Country,
         "United States",
         "COM3"},
        {{"--port=COM8", "--query"}, Action::Run, Mode::Query, "", "COM8"},
        {{"--port=com256", "--query"}, Action::Run, Mode::Query, "", "COM256"},
        {{"--list-ports"}, Action::Run, Mode::ListPorts, "", ""},
        {{"--list-countries"}, Action::Run, Mode::ListCountries, "", ""},
        // getopt_long takes an unambiguous beginning, as its neighbours do.
        {{"--coun", "Italy"}, Action::Run, Mode::Country, "Italy", ""},
    };
    for (const Case& c : cases) {
        const CommandLine line = Parse(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args.front();
        EXPECT_EQ(line.action, c.action) << shown << " " << line.error;
        EXPECT_EQ(line.mode, c.mode) << shown;
        EXPECT_EQ(line.country, c.country) << shown;
        EXPECT_EQ(line.port, c.port) << shown;
    }

    // The parser starts afresh each time: an earlier error leaves nothing behind.
    EXPECT_EQ(Parse({"--bogus"}).action, Action::UsageError);
    EXPECT_EQ(Parse({"--query"}).action, Action::Run);
}

TEST(CommandLineTest, TraceGoesToStderrOrAFile) {
    const CommandLine toStderr = Parse({"--trace"});
    EXPECT_TRUE(toStderr.trace);
    EXPECT_EQ(toStderr.traceFile, "");
    const CommandLine toFile = Parse({"--country", "Spain", "--trace=wire.txt"});
    EXPECT_TRUE(toFile.trace);
    EXPECT_EQ(toFile.traceFile, "wire.txt");
    EXPECT_FALSE(Parse({}).trace);
}

TEST(CommandLineTest, NoVerifyGoesWithEveryRunThatSetsACountry) {
    EXPECT_FALSE(Parse({"--country", "Spain"}).noVerify);
    EXPECT_TRUE(Parse({"--country", "Spain", "--no-verify"}).noVerify);
    const CommandLine dialog = Parse({"--no-verify", "--console"});
    EXPECT_EQ(dialog.action, Action::Run);
    EXPECT_TRUE(dialog.noVerify);
}

TEST(CommandLineTest, MistakesAreUsageErrorsThatSayWhat) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--console=yes"}, "unknown option '--console=yes'"},
        {{"--country"}, "option '--country' needs a value"},
        {{"--country="}, "--country needs a country name"},
        {{"--trace="}, "--trace= needs a file name"},
        {{"--query", "--port", "COM257"}, "--port takes COM1 to COM256, not 'COM257'"},
        {{"--query", "--port", "/dev/ttyS0"}, "--port takes COM1 to COM256, not '/dev/ttyS0'"},
        {{"--port", "COM2"}, "--port goes with --country or --query"},
        {{"--list-ports", "--port", "COM2"}, "--port goes with --country or --query"},
        {{"--query", "--country", "Spain"},
         "--country, --query, --list-ports and --list-countries go one at a time"},
        {{"Spain"}, "unknown argument 'Spain'"},
        {{"--query", "--no-verify"}, "--no-verify goes with a run that sets a country"},
        {{"--no-verify", "--list-ports"}, "--no-verify goes with a run that sets a country"},
    };
    for (const auto& [args, error] : cases) {
        const CommandLine line = Parse(args);
        EXPECT_EQ(line.action, Action::UsageError) << args.front();
        EXPECT_EQ(line.error, error) << args.front();
    }
}

TEST(CountryMatchTest, ANameMeansOneEntryOrIsToldWithCloseMatches) {
    const std::vector<std::string> listed = {
        "Austria", "Australia", "India",          "Indonesia",     "Korea", "KOREA",
        "Niger",   "Nigeria",   "United Kingdom", "United States", "Congo", "Congo"};
    struct Case {
        const char* name;
        std::vector<int> positions;
        std::vector<std::string> close;
    };
    const Case cases[] = {
        {"austria", {0}, {}},
        {"INDIA", {2}, {}},  // equal beats a longer name it begins
        {"Niger", {6}, {}},
        {"indo", {3}, {}},  // a unique beginning
        {"Austr", {0, 1}, {"Austria", "Australia"}},
        {"korea", {4, 5}, {"Korea", "KOREA"}},  // equal but for case: never a guess
        {"KOREA", {5}, {}},                     // ... but written as listed it is one
        {"Korea", {4}, {}},
        {"Congo", {10, 11}, {"Congo#1", "Congo#2"}},  // equal names: numbered
        {"Congo#2", {11}, {}},
        {"Congo#3", {}, {"Congo#1", "Congo#2"}},
        {"Korea#1", {4}, {}},
        {"Untied States", {}, {"United States"}},
        {"States", {}, {"United States"}},
        {"Atlantis", {}, {}},
    };
    for (const Case& c : cases) {
        const CountryMatch match = MatchCountry(listed, c.name);
        EXPECT_EQ(match.positions, c.positions) << c.name;
        EXPECT_EQ(match.closeNames, c.close) << c.name;
    }
}

}  // namespace
}  // namespace countryset
