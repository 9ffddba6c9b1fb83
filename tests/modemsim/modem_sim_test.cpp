#include "modem_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <bitset>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace countryset {
namespace {

using namespace std::chrono_literals;

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

// One modem through a whole session: each step's answer depends on what came before.
TEST(ModemDialogueTest, AnswersEachCommandByteExact) {
    const std::string steps[][2] = {
        {"ATZE1\r", "ATZE1\r" + kOk},
        {"AT+GCI=3D\r", "AT+GCI=3D\r" + kOk},
        {"at+gci?\r", "at+gci?\r\r\n+GCI: 3D\r\n" + kOk},
        {"AT+GCI=01\r", "AT+GCI=01\r" + kError},  // not a known country
        {"ATX\r", "ATX\r" + kError},
        {std::string(ModemDialogue::kMaxLine + 10, 'A') + "\r",
         std::string(ModemDialogue::kMaxLine + 10, 'A') + "\r" + kError},
        {"ATE0\r", "ATE0\r" + kOk},  // echoed before it took effect
        {"ATV0\r", "0\r"},
        {"ATX\r", "4\r"},
        {"AT+GCI?\r", "+GCI: 3D\r\n0\r"},
        {"ATZ\r", kOk},
        {"AT\r", "AT\r" + kOk},
        {"ATZE1+GCI=42;+GCI?\r", "ATZE1+GCI=42;+GCI?\r\r\n+GCI: 42\r\n" + kOk}};
    ModemDialogue modem(ModemSimOptions{});
    for (const auto& [input, answer] : steps) {
        EXPECT_EQ(modem.Receive(input), answer) << input;
    }
    // Bytes may come one at a time; the answer is the same.
    std::string split;
    for (char c : std::string_view("AT+GCI=b5\r")) {
        split += modem.Receive(std::string_view(&c, 1));
    }
    EXPECT_EQ(split, "AT+GCI=b5\r" + kOk);
    EXPECT_EQ(modem.Country(), 0xB5);

    const std::string list = ModemDialogue(ModemSimOptions{}).Receive("AT+GCI=?\r");
    EXPECT_EQ(list.rfind("AT+GCI=?\r\r\n+GCI: (00,07,09,0A,", 0), 0u) << list;
    EXPECT_TRUE(list.ends_with(",B4,B5,B8,C5,C6,FE)\r\n" + kOk)) << list;
}

// The supported set decides both what +GCI=? reports, in the form it was given, and what +GCI=
// takes; the query faults change only their own command.
TEST(ModemDialogueTest, CountryQueriesFollowTheirOptions) {
    struct Case {
        const char* name;
        ModemSimOptions options;
        std::string input;
        std::string answer;
    };
    auto with = [](void (*set)(ModemSimOptions&)) {
        ModemSimOptions options;
        set(options);
        return options;
    };
    const Case cases[] = {
        {"range form", with([](ModemSimOptions& o) { o.supported = "(00-FF)"; }),
         "AT+GCI=?\rAT+GCI=01\r", "AT+GCI=?\r\r\n+GCI: (00-FF)\r\n" + kOk + "AT+GCI=01\r" + kOk},
        {"mixed form", with([](ModemSimOptions& o) { o.supported = "(07,3d-3F,b5)"; }),
         "AT+GCI=?\rAT+GCI=3E\rAT+GCI=42\rAT+GCI=B5\r",
         "AT+GCI=?\r\r\n+GCI: (07,3d-3F,b5)\r\n" + kOk + "AT+GCI=3E\r" + kOk + "AT+GCI=42\r" +
             kError + "AT+GCI=B5\r" + kOk},
        {"no test command", with([](ModemSimOptions& o) { o.noGciTest = true; }),
         "AT+GCI=?\rAT+GCI?\r", "AT+GCI=?\r" + kError + "AT+GCI?\r\r\n+GCI: B5\r\n" + kOk},
        {"own query answer", with([](ModemSimOptions& o) { o.gciAnswer = "+GCI: zz"; }),
         "AT+GCI?\r", "AT+GCI?\r\r\n+GCI: zz\r\n" + kOk},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ModemDialogue(c.options).Receive(c.input), c.answer) << c.name;
    }

    std::bitset<256> codes;
    EXPECT_TRUE(ParseSupportedSet("(00-02,FE)", codes));
    EXPECT_EQ(codes.count(), 4u);
    EXPECT_TRUE(codes.test(0xFE));
    for (const char* bad : {"00-FF", "(0G)", "(05-01)", "(100)", "(07,)"}) {
        EXPECT_FALSE(ParseSupportedSet(bad, codes)) << bad;
    }
}

TEST(ModemDialogueTest, FaultOptionsShapeTheAnswer) {
    ModemSimOptions faults[6];
    faults[0].noEcho = true;
    faults[1].stray = 2;
    faults[2].extra = "\r\nRING";
    faults[3].silent = true;
    faults[4].errorGci = true;
    faults[5].flood = 40;
    const std::string answers[] = {kOk + kOk, "~~ATZE1\r" + kOk + "~~AT+GCI=3D\r" + kOk,
                                   "ATZE1\r" + kOk + "\r\nRING" + "AT+GCI=3D\r" + kOk + "\r\nRING",
                                   "", "ATZE1\r" + kOk + "AT+GCI=3D\r" + kError};
    for (std::size_t i = 0; i < std::size(answers); ++i) {
        EXPECT_EQ(ModemDialogue(faults[i]).Receive("ATZE1\rAT+GCI=3D\r"), answers[i]) << i;
    }
    const std::string flooded = ModemDialogue(faults[5]).Receive("ATZE1\r");
    EXPECT_EQ(flooded.size(), 6u + 40u);
    EXPECT_TRUE(flooded.starts_with("ATZE1\r"));
    EXPECT_NE(flooded.find('\0', 6), std::string::npos);

    EXPECT_EQ(UnescapeArgument("a\\r\\n\\x00\\x4Fk\\\\tail\\"),
              std::string("a\r\n\0Ok\\tail\\", 12));
}

// A modem that takes hex letters for digits answers as if it had taken the code, and holds another.
// A burst holds the echo back and sends it, after the stray bytes, with the answer in one piece.
TEST(ModemDialogueTest, LettersAsDigitsAndBurstModes) {
    ModemSimOptions letters;
    letters.lettersAsDigits = true;
    const std::pair<const char*, std::uint8_t> stored[] = {
        {"3D", 0x33}, {"b5", 0x15}, {"0A", 0x00}, {"FE", 0x54}, {"42", 0x42}};
    for (const auto& [code, held] : stored) {
        ModemDialogue modem(letters);
        const std::string command = "AT+GCI=" + std::string(code) + "\r";
        EXPECT_EQ(modem.Receive(command), command + kOk) << code;
        EXPECT_EQ(modem.Country(), held) << code;
        EXPECT_EQ(modem.Receive("AT+GCI?\r"), "AT+GCI?\r\r\n+GCI: " + Hex2(held) + "\r\n" + kOk);
    }

    ModemSimOptions burst;
    burst.burst = 3000;
    std::vector<ModemOutput> out;
    ModemDialogue modem(burst);
    modem.Receive("ATZE1\rAT+GCI=3D\rAT+GCI?\r", out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].bytes, "ATZE1\r" + kOk);
    EXPECT_EQ(out[1].bytes.size(), 3000u + 10u + kOk.size());
    EXPECT_TRUE(out[1].bytes.ends_with("AT+GCI=3D\r" + kOk));
    EXPECT_EQ(out[1].bytes.find("AT"), 3000u);
    EXPECT_EQ(out[2].bytes, "AT+GCI?\r\r\n+GCI: 3D\r\n" + kOk);

    ModemSimOptions noQuery;
    noQuery.noGciQuery = true;
    EXPECT_EQ(ModemDialogue(noQuery).Receive("AT+GCI=42\rAT+GCI?\r"),
              "AT+GCI=42\r" + kOk + "AT+GCI?\r" + kError);
}

// The identity commands answer their texts, alone or several on a line, in either verbose form;
// the ones listed as errors answer ERROR, and only those.
TEST(ModemDialogueTest, IdentityCommandsAnswerTheirTextsOrError) {
    ModemSimOptions options;
    options.info = "Line one\r\nLine two";
    options.manufacturer = "Maker";
    options.model = "M1";
    options.revision = "R2";
    options.serialNumber = "S3";
    ModemDialogue modem(options);
    EXPECT_EQ(modem.Receive("ATI\r"), "ATI\r\r\nLine one\r\nLine two\r\n" + kOk);
    EXPECT_EQ(modem.Receive("ati0\r"), "ati0\r\r\nLine one\r\nLine two\r\n" + kOk);
    EXPECT_EQ(modem.Receive("ATI3\r"), "ATI3\r" + kError);
    EXPECT_EQ(modem.Receive("AT+GMI\r"), "AT+GMI\r\r\nMaker\r\n" + kOk);
    EXPECT_EQ(modem.Receive("AT+GMM;+GMR\r"), "AT+GMM;+GMR\r\r\nM1\r\n\r\nR2\r\n" + kOk);
    EXPECT_EQ(modem.Receive("AT+GSNX\r"), "AT+GSNX\r" + kError);
    EXPECT_EQ(modem.Receive("ATE0V0+GSN\r"), "ATE0V0+GSN\rS3\r\n0\r");  // echoed before E0
    EXPECT_EQ(modem.Receive("AT+GSN\r"), "S3\r\n0\r");

    options.identityErrors = "I,GSN";
    ModemDialogue partial(options);
    EXPECT_EQ(partial.Receive("ATI\rAT+GSN\rAT+GMR\r"),
              "ATI\r" + kError + "AT+GSN\r" + kError + "AT+GMR\r\r\nR2\r\n" + kOk);

    EXPECT_TRUE(IsIdentityList("GSN"));
    EXPECT_TRUE(IsIdentityList("I,GMI,GMM,GMR,GSN"));
    EXPECT_FALSE(IsIdentityList(""));
    EXPECT_FALSE(IsIdentityList("GMI,"));
    EXPECT_FALSE(IsIdentityList("gsn"));
}

// The simulator on its pseudo-terminal, and a client on the device, raw, as the program opens it.
class ModemSimPtyTest : public ::testing::Test {
protected:
    void Start() {
        sim_.emplace(options_);
        std::string error;
        ASSERT_TRUE(sim_->Open(&error)) << error;
        sim_->Start();
        Connect();
    }
    void Connect() {
        ::close(client_);  // none yet: -1
        client_ = ::open(sim_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(client_, 0);
        termios settings{};
        ::tcgetattr(client_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(client_, TCSANOW, &settings);
    }
    void TearDown() override { ::close(client_); }
    void Send(std::string_view bytes) {
        ASSERT_EQ(::write(client_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes, a hang-up (hungUp_), or the limit.
    std::string Receive(std::size_t count, std::chrono::milliseconds limit) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!hungUp_ && got.size() < count && std::chrono::steady_clock::now() < deadline) {
            char buffer[256];
            pollfd entry{client_, POLLIN, 0};
            const ssize_t n =
                ::poll(&entry, 1, 10) > 0 ? ::read(client_, buffer, sizeof buffer) : 0;
            got.append(buffer, std::max<ssize_t>(n, 0));
            hungUp_ = n < 0 || (n == 0 && (entry.revents & POLLHUP) != 0);
        }
        return got;
    }

    ModemSimOptions options_;
    std::optional<ModemSim> sim_;
    int client_ = -1;
    bool hungUp_ = false;
};

// Replies held back but not the echo; a second client after the first one left, with no hang-up
// in between; every byte received in the log; then a line cut after eight bytes.
TEST_F(ModemSimPtyTest, ServesClientAfterClientOnItsDevice) {
    options_.delayMs = 150;
    options_.logPath = "/tmp/countryset-sim-" + std::to_string(::getpid()) + ".log";
    Start();
    Send("ATZE1\r");
    EXPECT_EQ(Receive(6, 1s), "ATZE1\r");
    EXPECT_EQ(Receive(6, 60ms), "");
    EXPECT_EQ(Receive(6, 1s), kOk);
    Connect();
    Send("AT+GCI=42\r");
    EXPECT_EQ(Receive(16, 1s), "AT+GCI=42\r" + kOk);
    sim_.reset();
    std::ifstream log(options_.logPath, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "ATZE1\rAT+GCI=42\r");
    ::unlink(options_.logPath.c_str());

    options_ = ModemSimOptions{};
    options_.hangupAfter = 8;
    Start();
    Send("ATZE1\r");
    EXPECT_EQ(Receive(100, 2s), "ATZE1\r\r\n");
    EXPECT_TRUE(hungUp_);
    EXPECT_TRUE(sim_->HungUp());
}

// A client that leaves its exclusive open set (killed, as a real client can be) keeps the device
// held, as a real port would be, unless the simulator is asked to clear such a leftover. The
// reply to a command sent after the close shows the simulator has seen the close by then.
TEST_F(ModemSimPtyTest, ClearsAnAbandonedExclusiveOpenOnlyWhenAskedTo) {
    for (bool release : {false, true}) {
        SCOPED_TRACE(release);
        options_.releaseAbandoned = release;
        Start();
        ASSERT_EQ(::ioctl(client_, TIOCEXCL), 0);
        Connect();  // without TIOCNXCL first; root may open it all the same
        Send("AT\r");
        EXPECT_EQ(Receive(9, 1s), "AT\r" + kOk);
        int exclusive = -1;
        ASSERT_EQ(::ioctl(client_, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, release ? 0 : 1);
        ::ioctl(client_, TIOCNXCL);
        sim_.reset();
    }
}

}  // namespace
}  // namespace countryset
