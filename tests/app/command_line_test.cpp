// What each command line means, and the name matching of the scripted run.
#include <gtest/gtest.h>

#include <string>
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

// Several --port words, lists and ranges come out in port order, each port once; one port
// alone is the single-port run it always was.
TEST(CommandLineTest, PortsComeAsWordsListsAndRanges) {
    using Ports = std::vector<std::string>;
    const std::pair<std::vector<const char*>, Ports> cases[] = {
        {{"--country", "Spain", "--port", "COM3"}, {"COM3"}},
        {{"--country", "Spain", "--port", "COM3", "--port=com1"}, {"COM1", "COM3"}},
        {{"--country", "Spain", "--port", "COM5,com2,COM5"}, {"COM2", "COM5"}},
        {{"--country", "Spain", "--port", "COM2-COM4"}, {"COM2", "COM3", "COM4"}},
        {{"--country", "Spain", "--port", "COM7-COM8,COM1", "--port", "COM3-COM3"},
         {"COM1", "COM3", "COM7", "COM8"}},
        {{"--country", "Spain", "--port", "COM1-COM8"},
         {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}},
    };
    for (const auto& [args, ports] : cases) {
        const CommandLine line = Parse(args);
        ASSERT_EQ(line.action, Action::Run) << args[3] << " " << line.error;
        EXPECT_EQ(line.ports, ports) << args[3];
        EXPECT_EQ(line.port, ports.front()) << args[3];
        EXPECT_EQ(SeveralPorts(line), ports.size() > 1) << args[3];
    }
    const CommandLine all = Parse({"--all-ports", "--country", "Spain"});
    EXPECT_EQ(all.action, Action::Run) << all.error;
    EXPECT_TRUE(all.allPorts);
    EXPECT_TRUE(SeveralPorts(all));
    EXPECT_TRUE(all.ports.empty());
    EXPECT_FALSE(SeveralPorts(Parse({"--country", "Spain"})));
}

TEST(CommandLineTest, JsonAndCheckGoWithTheScriptedModes) {
    const CommandLine check = Parse({"--check", "--country", "Spain", "--json"});
    EXPECT_EQ(check.action, Action::Run);
    EXPECT_TRUE(check.check);
    EXPECT_TRUE(check.json);
    EXPECT_FALSE(Parse({"--country", "Spain"}).check);
    EXPECT_FALSE(Parse({"--country", "Spain"}).json);
    for (const char* mode : {"--query", "--list-ports"}) {
        EXPECT_TRUE(Parse({mode, "--json"}).json) << mode;
    }
    const std::pair<std::vector<const char*>, const char*> mistakes[] = {
        {{"--check"}, "--check goes with --country"},
        {{"--query", "--check"}, "--check goes with --country"},
        {{"--country", "Spain", "--check", "--no-verify"},
         "--no-verify goes with a run that sets a country"},
        {{"--json"}, "--json goes with --country, --query or --list-ports"},
        {{"--list-countries", "--json"}, "--json goes with --country, --query or --list-ports"},
    };
    for (const auto& [args, error] : mistakes) {
        const CommandLine line = Parse(args);
        EXPECT_EQ(line.action, Action::UsageError) << args.front();
        EXPECT_EQ(line.error, error) << args.front();
    }
}

TEST(CommandLineTest, MistakesAreUsageErrorsThatSayWhat) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--console=yes"}, "unknown option '--console=yes'"},
        {{"--country"}, "option '--country' needs a value"},
        {{"--country="}, "--country needs a country name"},
        {{"--trace="}, "--trace= needs a file name"},
        {{"--query", "--port", "COM9"}, "--port takes COM1 to COM8, not 'COM9'"},
        {{"--query", "--port", "/dev/ttyS0"}, "--port takes COM1 to COM8, not '/dev/ttyS0'"},
        {{"--port", "COM2"}, "--port goes with --country or --query"},
        {{"--list-ports", "--port", "COM2"}, "--port goes with --country or --query"},
        {{"--query", "--country", "Spain"},
         "--country, --query, --list-ports and --list-countries go one at a time"},
        {{"Spain"}, "unknown argument 'Spain'"},
        {{"--query", "--no-verify"}, "--no-verify goes with a run that sets a country"},
        {{"--no-verify", "--list-ports"}, "--no-verify goes with a run that sets a country"},
        {{"--country", "Spain", "--port", "COM1,COM9"}, "--port takes COM1 to COM8, not 'COM9'"},
        {{"--country", "Spain", "--port", "COM1,"}, "--port takes COM1 to COM8, not ''"},
        {{"--country", "Spain", "--port", "COM4-COM2"},
         "--port takes COM1 to COM8, not 'COM4-COM2'"},
        {{"--country", "Spain", "--port", "COM2-"}, "--port takes COM1 to COM8, not 'COM2-'"},
        {{"--country", "Spain", "--port", "COM2-COM3-COM4"},
         "--port takes COM1 to COM8, not 'COM2-COM3-COM4'"},
        {{"--country", "Spain", "--port", "COM1-COM9"},
         "--port takes COM1 to COM8, not 'COM1-COM9'"},
        {{"--query", "--port", "COM1,COM2"}, "several ports, or --all-ports, go with --country"},
        {{"--query", "--all-ports"}, "several ports, or --all-ports, go with --country"},
        {{"--all-ports"}, "several ports, or --all-ports, go with --country"},
        {{"--country", "Spain", "--all-ports", "--port", "COM1"},
         "--all-ports and --port go one at a time"},
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
