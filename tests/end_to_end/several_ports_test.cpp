// Several ports in one scripted run, against a simulator on each: every port is set at once, a
// silent modem fails alone with its reason, and the settings file keeps its stored choice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>

#include "end_to_end/program_run.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// A scripted run asks what the modem holds before it sets anything.
constexpr char kSet[] = "ATZE1\rAT+GCI?\rAT+GCI=42\rAT+GCI?\r";
constexpr char kAlreadySet[] = "ATZE1\rAT+GCI?\r";

class SeveralPortsTest : public ::testing::Test {
protected:
    // A simulator on each given port (silent where asked); every other port of COM1..COM8
    // names a device that is not there.
    void StartModems(const std::vector<int>& ports, int silentPort = 0) {
        std::string mapping;
        for (int n = 1; n <= 8; ++n) {
            std::string device = folder_.Dir() + "/none" + std::to_string(n);
            if (std::find(ports.begin(), ports.end(), n) != ports.end()) {
                ModemSimOptions options;
                options.silent = n == silentPort;
                modems_[n] = std::make_unique<SimulatedModem>(
                    options, folder_.Dir() + "/modem" + std::to_string(n) + ".log");
                device = modems_[n]->Device();
            }
            mapping += "COM" + std::to_string(n) + "=" + device + "\r\n";
        }
        settings_ = ReplaceAll(SampleSettings("unused"), "COM1=unused\r\n", mapping);
        folder_.WriteSettings(settings_);
    }

    ProgramResult Run(const std::vector<std::string>& args) const {
        return folder_.RunDetached(args, std::chrono::seconds(60));
    }

    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    ProgramFolder folder_;
    std::unique_ptr<SimulatedModem> modems_[9];
    std::string settings_;
};

TEST_F(SeveralPortsTest, EveryPortIsSetAndASilentModemFailsAlone) {
    StartModems({1, 2, 3}, 2);
    const ProgramResult result =
        Run({"--country", "Germany", "--port", "COM3,com2", "--port", "COM1", "--json"});
    EXPECT_EQ(result.exitCode, 8) << result.err;
    EXPECT_EQ(modems_[1]->Received(), kSet);
    EXPECT_EQ(modems_[3]->Received(), kSet);
    EXPECT_EQ(modems_[1]->Country(), 0x42);
    EXPECT_EQ(modems_[3]->Country(), 0x42);
    EXPECT_NE(modems_[2]->Country(), 0x42);
    // Each port's lines name it, in whatever order the ports ended; the summary comes last.
    std::vector<std::string> lines = Lines(result.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "countryset: 3 ports: 2 set, 0 already set, 1 failed (COM2)");
    lines.pop_back();
    std::sort(lines.begin(), lines.end());
    EXPECT_THAT(lines, ElementsAreArray({
                           "countryset: COM1: Country set successfully.",
                           "countryset: COM2: Can't initialise modem at the selected COM port.",
                           "countryset: COM3: Country set successfully.",
                       }));
    // One JSON object a port, a line each, in port order.
    const std::vector<std::string> objects = Lines(result.out);
    ASSERT_EQ(objects.size(), 3u) << result.out;
    const char* outcomes[] = {"set_verified", "no_modem", "set_verified"};
    for (std::size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(objects[i].rfind("{\"port\":\"COM" + std::to_string(i + 1) + "\"", 0), 0u)
            << objects[i];
        EXPECT_THAT(objects[i], HasSubstr(std::string("\"outcome\":\"") + outcomes[i] + "\""));
    }
    // A script that reads only the object still learns why the silent port failed.
    EXPECT_THAT(objects[1], HasSubstr(R"x("reason":"no modem answered the reset (ATZE1)")x"));
    // No port's choice is stored: the file is byte for byte as it was.
    EXPECT_EQ(folder_.ReadSettings(), settings_);
}

TEST_F(SeveralPortsTest, RangesAndAllPortsReachEachPortOnceAndTraceNamesThem) {
    StartModems({2, 3, 5});
    // A range over a port whose device is missing: that port fails, the others are set.
    const std::string trace = folder_.Dir() + "/wire.txt";
    ProgramResult result = Run({"--country", "Germany", "--port", "COM2-COM4", "--trace=" + trace});
    EXPECT_EQ(result.exitCode, 8) << result.err;
    EXPECT_THAT(result.err, HasSubstr("countryset: COM4: "));
    EXPECT_THAT(result.err, HasSubstr("3 ports: 2 set, 0 already set, 1 failed (COM4)\n"));
    EXPECT_EQ(modems_[2]->Received(), kSet);
    EXPECT_EQ(modems_[3]->Received(), kSet);
    EXPECT_EQ(modems_[5]->Received(), "");
    // Every trace line is whole and names the port its bytes crossed.
    const std::optional<std::string> wire = ReadFileBytes(trace);
    ASSERT_TRUE(wire.has_value());
    const std::regex tagged(R"( *\d+\.\d{6} COM[23] (-> |<- ).*)");
    int lines = 0;
    for (const std::string& line : Lines(*wire)) {
        EXPECT_TRUE(std::regex_match(line, tagged)) << line;
        ++lines;
    }
    EXPECT_GE(lines, 12);

    // --all-ports: the three ports whose device is there, each once; the missing ones are left.
    result = Run({"--country", "Germany", "--all-ports"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Lines(result.err).back(), "countryset: 3 ports: 1 set, 2 already set, 0 failed");
    EXPECT_EQ(modems_[5]->Received(), kSet);
    EXPECT_EQ(modems_[2]->Received(), std::string(kSet) + kAlreadySet);
    EXPECT_EQ(folder_.ReadSettings(), settings_);

    // A country no port can take is told once, as for one port.
    result = Run({"--country", "Xyzzyq", "--all-ports"});
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_EQ(result.err, "countryset: no offered country is called 'Xyzzyq'\n");
}

}  // namespace
}  // namespace countryset::testing
