// What a script gets from the real program against the simulator: one JSON object a line on
// stdout, valid against docs/countryset-result.schema.json, and an exit status per outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class JsonResultTest : public ::testing::Test, protected SampleModemRig {
protected:
    // No terminal, nothing to read: as a script runs it.
    ProgramResult RunDetached(const std::vector<std::string>& args) {
        ProgramResult result = folder_.RunDetached(args, std::chrono::seconds(30));
        lines_ += result.out;
        return result;
    }

    // The exit status of the schema check of every line printed so far, or of the given text.
    int ValidateLines(const std::string& text) const {
        const std::string path = folder_.Dir() + "/lines.json";
        WriteFileBytes(path, text);
        const std::string command = std::string("/usr/bin/python3 ") + COUNTRYSET_SOURCE_DIR +
                                    "/tests/end_to_end/validate_json.py " + COUNTRYSET_SOURCE_DIR +
                                    "/docs/countryset-result.schema.json " + path;
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string lines_;  // every line printed on stdout by the runs of the test
};

// Each outcome a run can come to, from a simulated modem that comes to it: the object's fields,
// the exit status, and what crossed the wire. The lines then pass the schema.
TEST_F(JsonResultTest, EachOutcomeHasItsObjectAndItsExitStatus) {
    struct Case {
        const char* name;
        void (*set)(ModemSimOptions&);
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> fields;
        std::string received;
    };
    const auto none = [](ModemSimOptions&) {};
    const Case cases[] = {
        {"set",
         none,
         {"--country", "Germany"},
         0,
         {R"({"port":"COM1","device":")",
          R"("country":{"name":"Germany","code":"42"},"code_before":"B5","code_after":"42",)"
          R"("outcome":"set_verified","changed":true,"verified":true,"stored":true,"reason":"",)"
          R"("identity":null,"ms":{"attach":)"},
         "ATZE1\rAT+GCI?\rAT+GCI=42\rAT+GCI?\r"},
        {"holds another",
         [](ModemSimOptions& o) { o.lettersAsDigits = true; },
         {"--country", "France"},
         7,
         {R"("code_after":"33","outcome":"holds_other","changed":true,"verified":false,)"
          R"("stored":false,"reason":"the modem reads back 33")"},
         "ATZE1\rAT+GCI?\rAT+GCI=3D\rAT+GCI?\r"},
        {"check: another",
         none,
         {"--country", "France", "--check"},
         9,
         {R"("code_before":"B5","code_after":"B5","outcome":"would_change","changed":false,)"
          R"("verified":false,"stored":false,"reason":"the modem holds B5")"},
         "ATZE1\rAT+GCI?\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModemSimOptions options;
        c.set(options);
        StartModem(options);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const ProgramResult result = RunDetached(args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
        for (const std::string& field : c.fields) {
            EXPECT_THAT(result.out, HasSubstr(field));
        }
        EXPECT_EQ(modem_->Received(), c.received);
        // Stored exactly when a run that may store succeeded.
        EXPECT_EQ(folder_.ReadSettings() != settings_,
                  result.out.find(R"("stored":true)") != std::string::npos);
        modem_.reset();
    }
    EXPECT_EQ(ValidateLines(lines_), 0) << lines_;
}

// Set once, then again: the second run finds the country held and sends no country command,
// so a tool that runs it again and again changes nothing.
TEST_F(JsonResultTest, ASecondRunFindsTheCountrySetAndChangesNothing) {
    StartModem();
    const ProgramResult first = RunDetached({"--country", "Japan", "--json"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_THAT(first.out, HasSubstr(R"("outcome":"set_verified","changed":true,)"));
    const ProgramResult again = RunDetached({"--country", "Japan", "--json"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr(R"("outcome":"already_set","changed":false,)"));
    EXPECT_EQ(again.err,
              "countryset: Country set successfully.\n"
              "countryset: the modem already held Japan (00): nothing was sent\n");
    EXPECT_EQ(modem_->Received(), "ATZE1\rAT+GCI?\rAT+GCI=00\rAT+GCI?\rATZE1\rAT+GCI?\r");
}

// The runs that never reach a modem: a port that does not open has its object; a name that
// picks no country, and a usage error, have only a status and a message.
TEST_F(JsonResultTest, ARunThatReachesNoModemSaysWhyInItsStatus) {
    StartModem();
    const std::string missing = folder_.Dir() + "/gone";
    folder_.WriteSettings(
        ReplaceAll(settings_, "[Ports]\r\n", "[Ports]\r\nCOM2=" + missing + "\r\n"));
    ProgramResult result = RunDetached({"--country", "France", "--port", "COM2", "--json"});
    EXPECT_EQ(result.exitCode, 4) << result.err;
    EXPECT_THAT(result.out, HasSubstr(R"({"port":"COM2","device":")" + missing + "\","));
    EXPECT_THAT(result.out, HasSubstr(R"("outcome":"port_not_usable")"));

    for (const char* name : {"Atlantis", "United"}) {
        result = RunDetached({"--country", name, "--json"});
        EXPECT_EQ(result.exitCode, 3) << name << result.err;
        EXPECT_EQ(result.out, "") << name;
    }
    result = RunDetached({"--list-countries", "--json"});
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_EQ(modem_->Received(), "");
    EXPECT_EQ(ValidateLines(lines_), 0) << lines_;
}

// A name from the settings file with control bytes and bytes that are no UTF-8 stays one line of
// valid JSON; the query and the port listing have objects of their own that pass the schema,
// and the check of the schema itself catches a line that does not.
TEST_F(JsonResultTest, EveryModeWritesLinesThatPassTheSchema) {
    ModemSimOptions options;
    options.supported = "(00-3d,42)";
    StartModem(options);
    folder_.WriteSettings(ReplaceAll(ReplaceAll(settings_, "NumOfCountry=40", "NumOfCountry=41"),
                                     "[Country]\r\n", "[Country]\r\nOdd\xFF\x1b[2J=42\r\n"));
    ProgramResult result = RunDetached({"--country", "Odd", "--json"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr(R"("country":{"name":"Odd\u00FF\u001B[2J","code":"42"})"));
    EXPECT_THAT(result.out, Not(HasSubstr("\x1b")));

    result = RunDetached({"--query", "--json"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr(R"("outcome":"read","reason":"","current":{"code":"42",)"));
    EXPECT_THAT(result.out, HasSubstr(R"("supported":["00","01",)"));
    EXPECT_THAT(result.out, HasSubstr(R"({"name":"Greece","code":"46","supported":false})"));
    EXPECT_EQ(result.err, "");

    namespace fs = std::filesystem;
    const std::string dev = folder_.Dir() + "/dev";
    fs::create_directories(dev);
    fs::create_symlink(modem_->Device(), dev + "/ttyS0");
    fs::create_symlink(modem_->Device(), dev + "/ttyUSB3");  // reached through COM1
    WriteFileBytes(dev + "/ttyS2", "");
    WriteFileBytes(dev + "/ttyACM0", "");
    folder_.WriteSettings("");
    ::setenv("COUNTRYSET_DEV_ROOT", dev.c_str(), 1);
    result = RunDetached({"--list-ports", "--json"});
    ::unsetenv("COUNTRYSET_DEV_ROOT");
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr(R"({"port":"COM1","device":"/dev/ttyS0","exists":true,)"
                                      R"("type":"serial","held":false})"));
    EXPECT_THAT(result.out, HasSubstr(R"({"port":"COM3","device":"/dev/ttyS2","exists":true,)"
                                      R"("type":"not_device","held":false})"));
    EXPECT_THAT(result.out, HasSubstr(R"({"port":"COM4","device":"/dev/ttyS3","exists":false,)"
                                      R"("type":null,"held":null})"));
    EXPECT_THAT(result.out, HasSubstr(R"({"port":null,"device":"/dev/ttyACM0",)"
                                      R"("stable_name":"/dev/ttyACM0","free_port":"COM2"})"));
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 9);

    options = {};
    options.silent = true;
    StartModem(options);
    result = RunDetached({"--query", "--json"});
    EXPECT_EQ(result.exitCode, 5) << result.err;
    EXPECT_THAT(result.out, HasSubstr(R"("outcome":"no_modem")"));

    EXPECT_EQ(ValidateLines(lines_), 0) << lines_;
    EXPECT_EQ(ValidateLines(ReplaceAll(lines_, R"("outcome":"no_modem")", R"("outcome":"lost")")),
              1);
    EXPECT_EQ(ValidateLines(lines_.substr(0, lines_.size() - 1)), 1);  // no line end at the end
}

}  // namespace
}  // namespace countryset::testing
