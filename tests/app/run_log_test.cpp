// The log of --log: what one line says and how it is escaped, and how lines reach the file.
#include "app/run_log.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/platform.h"
#include "app/trace_file.h"

namespace countryset {
namespace {

using ::testing::HasSubstr;

RunOutcome SetOutcome() {
    RunOutcome outcome;
    outcome.kind = RunOutcomeKind::HoldsOther;
    outcome.port = "COM3";
    outcome.device = "/dev/ttyUSB0";
    outcome.countryName = "Côte d'Ivoire";
    outcome.codeSent = "3D";
    outcome.codeBefore = 0xB5;
    outcome.codeRead = 0x33;
    outcome.reason = "the modem reads back 33";
    outcome.identity.asked = true;
    outcome.identity.info = "Bench \"modem\"\r\nV2";
    outcome.identity.manufacturer = "";
    outcome.identity.model = "M\\56,\x1b[2J";
    outcome.identity.revision = "=1+1";
    outcome.identity.serial = "\xFF\xC3\xA9";  // a stray byte, then a whole character
    return outcome;
}

const LogOrigin kOrigin{"2026-12-09T02:43:19.123Z", "bench-7", "op", "/dev/serial/by-id/usb-x"};

TEST(RunLogLineTest, JsonLineHoldsEveryFieldWithControlAndStrayBytesEscaped) {
    EXPECT_EQ(LogLine(SetOutcome(), kOrigin, LogFormat::Json),
              "{\"time\":\"2026-12-09T02:43:19.123Z\",\"host\":\"bench-7\",\"user\":\"op\","
              "\"port\":\"COM3\",\"device\":\"/dev/ttyUSB0\","
              "\"stable_name\":\"/dev/serial/by-id/usb-x\","
              "\"country\":{\"name\":\"Côte d'Ivoire\",\"code\":\"3D\"},"
              "\"code_before\":\"B5\",\"code_after\":\"33\",\"outcome\":\"holds_other\","
              "\"reason\":\"the modem reads back 33\",\"identity\":{"
              "\"info\":\"Bench \\\"modem\\\"\\r\\nV2\",\"manufacturer\":\"\","
              "\"model\":\"M\\\\56,\\u001B[2J\",\"revision\":\"=1+1\","
              "\"serial\":\"\\u00FFé\"}}\n");

    // A port that never opened: nothing known of the modem, and null says so.
    RunOutcome failed;
    failed.kind = RunOutcomeKind::PortNotUsable;
    failed.port = "COM1";
    failed.countryName = "France";
    failed.codeSent = "3D";
    failed.reason = "COM1 does not exist";
    EXPECT_EQ(LogLine(failed, LogOrigin{"t", "h", "u", ""}, LogFormat::Json),
              "{\"time\":\"t\",\"host\":\"h\",\"user\":\"u\",\"port\":\"COM1\",\"device\":null,"
              "\"stable_name\":null,\"country\":{\"name\":\"France\",\"code\":\"3D\"},"
              "\"code_before\":null,\"code_after\":null,\"outcome\":\"port_not_usable\","
              "\"reason\":\"COM1 does not exist\",\"identity\":null}\n");
}

TEST(RunLogLineTest, CsvRecordIsOneLineUnderItsHeaderAndNoFieldIsAFormula) {
    const std::string line = LogLine(SetOutcome(), kOrigin, LogFormat::Csv);
    EXPECT_EQ(line,
              "2026-12-09T02:43:19.123Z,bench-7,op,COM3,/dev/ttyUSB0,/dev/serial/by-id/usb-x,"
              "Côte d'Ivoire,3D,B5,33,holds_other,the modem reads back 33,"
              "\"Bench \"\"modem\"\"\\x0D\\x0AV2\",,\"M\\\\56,\\x1B[2J\",'=1+1,\\xFFé\n");
    // As many columns as the header names, counting commas outside quotes.
    const auto columns = [](const std::string& text) {
        int count = 1;
        bool quoted = false;
        for (char c : text) {
            quoted = c == '"' ? !quoted : quoted;
            count += !quoted && c == ',' ? 1 : 0;
        }
        return count;
    };
    EXPECT_EQ(columns(line), columns(CsvHeader()));
    EXPECT_EQ(CsvHeader().rfind("time,host,user,port,device,stable_name,", 0), 0u);
}

TEST(RunLogLineTest, TimestampIsUtcIso8601ToTheMillisecond) {
    using namespace std::chrono;
    EXPECT_EQ(UtcTimestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(UtcTimestamp(system_clock::time_point{seconds(1796784199) + milliseconds(123)}),
              "2026-12-09T02:43:19.123Z");
    EXPECT_EQ(UtcTimestamp(system_clock::time_point{seconds(951868799) + milliseconds(999)}),
              "2000-02-29T23:59:59.999Z");
}

class RunLogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() /
            ("countryset-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }
    static std::vector<std::string> Lines(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::filesystem::path dir_;
};

// Ports log from threads of their own: every line arrives whole, the CSV header once.
TEST_F(RunLogFileTest, LinesFromSeveralThreadsArriveWhole) {
    for (const LogFormat format : {LogFormat::Json, LogFormat::Csv}) {
        const std::string path = Path(format == LogFormat::Json ? "log.jsonl" : "log.csv");
        {
            std::ofstream(path, std::ios::binary) << "";  // an empty file gets the header too
            std::string problem;
            const std::unique_ptr<RunLog> log = RunLog::Check(path, {}, format, &problem);
            ASSERT_NE(log, nullptr) << problem;
            std::vector<std::thread> ports;
            for (int port = 0; port < 4; ++port) {
                ports.emplace_back([&log, port] {
                    RunOutcome outcome = SetOutcome();
                    outcome.port = "COM" + std::to_string(port + 1);
                    outcome.identity.info = std::string(6000, static_cast<char>('a' + port));
                    for (int i = 0; i < 25; ++i) {
                        log->Append(outcome, kOrigin);
                    }
                });
            }
            for (std::thread& port : ports) {
                port.join();
            }
            EXPECT_EQ(log->Problem(), "");
        }
        const std::vector<std::string> lines = Lines(path);
        const bool csv = format == LogFormat::Csv;
        ASSERT_EQ(lines.size(), csv ? 101u : 100u);
        if (csv) {
            EXPECT_EQ(lines[0] + "\n", CsvHeader());
        }
        for (std::size_t i = csv ? 1 : 0; i < lines.size(); ++i) {
            const char port = lines[i][lines[i].find("COM") + 3];
            EXPECT_THAT(lines[i], HasSubstr(std::string(6000, static_cast<char>('a' + port - '1'))))
                << i;
            EXPECT_EQ(lines[i].size(), lines.back().size()) << i;
        }
        // A second run appends beneath, without a second header.
        std::string problem;
        RunLog::Check(path, {}, format, &problem)->Append(SetOutcome(), kOrigin);
        EXPECT_EQ(Lines(path).size(), csv ? 102u : 101u);
    }
}

// Two runs that start a CSV file at once: whichever writes second finds the first's header and
// line, however their opens and writes interleave. The other run is a second descriptor of the
// file, as another process's would be.
TEST_F(RunLogFileTest, RunsStartingAFileTogetherWriteOneHeader) {
    const std::string path = Path("log.csv");
    bool empty = false;
    std::string problem;
    std::FILE* other = trace_file::OpenForAppend(path, {}, &empty, &problem);
    std::FILE* mine = trace_file::OpenForAppend(path, {}, &empty, &problem);
    ASSERT_TRUE(other != nullptr && mine != nullptr) << problem;
    ASSERT_TRUE(empty);

    // Both found the file empty on opening; the other run holds the lock while it writes.
    ASSERT_TRUE(trace_file::LockAppends(other, 0));
    std::atomic<bool> started{false};
    std::thread run([mine, &started] {
        started.store(true);
        EXPECT_TRUE(trace_file::AppendFirst(mine, "h\n", "mine\n", 60000));
    });
    // Time for the run to find the file empty, were the lock not kept: it waits for it instead.
    while (!started.load()) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(trace_file::AppendWhole(other, "h\nother\n"));
    trace_file::UnlockAppends(other);
    run.join();
    EXPECT_EQ(Lines(path), (std::vector<std::string>{"h", "other", "mine"}));

    // A lock somebody keeps for ever holds a run only for the wait it is given.
    ASSERT_TRUE(trace_file::LockAppends(other, 0));
    EXPECT_FALSE(trace_file::LockAppends(mine, 0));
    EXPECT_TRUE(trace_file::AppendFirst(mine, "h\n", "late\n", 0));
    EXPECT_EQ(Lines(path).back(), "late");
    EXPECT_EQ(Lines(path).size(), 4u);
    std::fclose(other);
    std::fclose(mine);
}

TEST_F(RunLogFileTest, NeverWritesTheProgramsFilesOrAFolder) {
    const std::string settings = Path("countryset.DAT");
    std::ofstream(settings, std::ios::binary) << "[Setting]\n";
    std::string problem;
    EXPECT_EQ(RunLog::Check(settings, {settings}, LogFormat::Json, &problem), nullptr);
    EXPECT_EQ(problem, "it is one of the program's own files");
    EXPECT_EQ(RunLog::Check(dir_.string(), {}, LogFormat::Json, &problem), nullptr);
    EXPECT_EQ(problem, "it is not a regular file");
    EXPECT_EQ(Lines(settings), std::vector<std::string>{"[Setting]"});
}

#ifndef _WIN32
// Another user may put a link where the log goes, before the check or after it.
TEST_F(RunLogFileTest, NeverFollowsALink) {
    const std::string target = Path("target");
    std::ofstream(target) << "keep\n";
    const std::string link = Path("log.jsonl");
    std::filesystem::create_symlink(target, link);
    std::string problem;
    EXPECT_EQ(RunLog::Check(link, {}, LogFormat::Json, &problem), nullptr);
    EXPECT_EQ(problem, "it is a symbolic link");

    std::filesystem::remove(link);
    const std::unique_ptr<RunLog> log = RunLog::Check(link, {}, LogFormat::Json, &problem);
    ASSERT_NE(log, nullptr) << problem;
    std::filesystem::create_symlink(target, link);
    log->Append(SetOutcome(), kOrigin);
    EXPECT_EQ(log->Problem(), "it cannot be opened: it is a symbolic link");
    EXPECT_EQ(Lines(target), std::vector<std::string>{"keep"});
}

TEST_F(RunLogFileTest, StableNameIsTheByIdLinkToTheSameDevice) {
    std::filesystem::create_directories(dir_ / "by-id");
    std::ofstream(Path("ttyUSB0")) << "";
    std::ofstream(Path("ttyUSB1")) << "";
    std::filesystem::create_symlink("../ttyUSB1", dir_ / "by-id" / "usb-a");
    std::filesystem::create_symlink("../ttyUSB0", dir_ / "by-id" / "usb-b");
    std::filesystem::create_symlink("../ttyUSB0", dir_ / "by-id" / "usb-c");
    std::filesystem::create_symlink("ttyUSB0", dir_ / "modem");
    const std::string byId = Path("by-id");
    EXPECT_EQ(StableDeviceName(Path("ttyUSB0"), byId), byId + "/usb-b");
    EXPECT_EQ(StableDeviceName(Path("modem"), byId), byId + "/usb-b");
    EXPECT_EQ(StableDeviceName(Path("ttyUSB1"), byId), byId + "/usb-a");
    EXPECT_EQ(StableDeviceName(Path("ttyUSB2"), byId), "");
    EXPECT_EQ(StableDeviceName(Path("ttyUSB0"), Path("none")), "");
    EXPECT_EQ(StableDeviceName("", byId), "");
}
#endif

}  // namespace
}  // namespace countryset
