#include "modem_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace countryset {
namespace {

using namespace std::chrono_literals;

std::string Answer(std::string_view input, ModemSimOptions options = {}) {
    ModemDialogue modem(std::move(options));
    return modem.Receive(input);
}

TEST(ModemDialogueTest, ProbeAndCountryCommandAnswerByteExact) {
    ModemDialogue modem(ModemSimOptions{});
    EXPECT_EQ(modem.Receive("ATZE1\r"), "ATZE1\r\r\nOK\r\n");
    EXPECT_EQ(modem.Receive("AT+GCI=3D\r"), "AT+GCI=3D\r\r\nOK\r\n");
    EXPECT_EQ(modem.Country(), 0x3D);
    EXPECT_EQ(modem.Receive("at+gci?\r"), "at+gci?\r\r\n+GCI: 3D\r\n\r\nOK\r\n");
    // Bytes may come one at a time; the answer is the same.
    std::string split;
    for (char c : std::string_view("AT+GCI=b5\r")) {
        split += modem.Receive(std::string_view(&c, 1));
    }
    EXPECT_EQ(split, "AT+GCI=b5\r\r\nOK\r\n");
    EXPECT_EQ(modem.Country(), 0xB5);
}

TEST(ModemDialogueTest, CountryListHoldsEveryKnownCodeInOrder) {
    const std::string answer = Answer("AT+GCI=?\r");
    EXPECT_EQ(answer.rfind("AT+GCI=?\r\r\n+GCI: (00,07,09,0A,", 0), 0u) << answer;
    EXPECT_NE(answer.find(",B4,B5,B8,C5,C6,FE)\r\n\r\nOK\r\n"), std::string::npos) << answer;
    EXPECT_EQ(KnownCountries().size(), 53u);
    EXPECT_TRUE(IsKnownCountry(0x00));
    EXPECT_FALSE(IsKnownCountry(0x01));
}

TEST(ModemDialogueTest, RefusesWhatItDoesNotKnow) {
    const std::string error = "\r\nERROR\r\n";
    EXPECT_EQ(Answer("ATX\r"), "ATX\r" + error);
    EXPECT_EQ(Answer("AT+GCI=01\r"), "AT+GCI=01\r" + error);  // not a known country
    EXPECT_EQ(Answer("AT+GCI=\r"), "AT+GCI=\r" + error);
    EXPECT_EQ(Answer("AT+GCI=3D3\r"), "AT+GCI=3D3\r" + error);
    EXPECT_EQ(Answer("AT+GCX?\r"), "AT+GCX?\r" + error);
    EXPECT_EQ(Answer("ATE2\r"), "ATE2\r" + error);
    ModemDialogue modem(ModemSimOptions{});
    modem.Receive("AT+GCI=01\r");
    EXPECT_EQ(modem.Country(), kDefaultCountry);
    // A line of noise without "AT" gets no answer, but is echoed.
    EXPECT_EQ(Answer("hello\r"), "hello\r");
    EXPECT_EQ(Answer(std::string(ModemDialogue::kMaxLine + 10, 'A') + "\r")
                  .substr(ModemDialogue::kMaxLine + 11),
              error);
}

TEST(ModemDialogueTest, EchoVerboseAndResetFollowTheCommandLine) {
    ModemDialogue modem(ModemSimOptions{});
    EXPECT_EQ(modem.Receive("ATE0\r"), "ATE0\r\r\nOK\r\n");  // echoed before it took effect
    EXPECT_EQ(modem.Receive("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Receive("ATV0\r"), "0\r");
    EXPECT_EQ(modem.Receive("ATX\r"), "4\r");
    EXPECT_EQ(modem.Receive("AT+GCI?\r"), "+GCI: B5\r\n0\r");
    EXPECT_EQ(modem.Receive("ATZ\r"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Receive("AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(modem.Receive("AT E0 V1\r"), "AT E0 V1\r\r\nOK\r\n");
    EXPECT_EQ(modem.Receive("ATZE1+GCI=42;+GCI?\r"), "\r\n+GCI: 42\r\n\r\nOK\r\n");
}

TEST(ModemDialogueTest, FaultOptionsShapeTheAnswer) {
    ModemSimOptions noEcho;
    noEcho.noEcho = true;
    EXPECT_EQ(Answer("ATZE1\r", noEcho), "\r\nOK\r\n");

    ModemSimOptions stray;
    stray.stray = 2;
    ModemDialogue noisy(stray);
    EXPECT_EQ(noisy.Receive("ATZE1\r"), "~~ATZE1\r\r\nOK\r\n");
    EXPECT_EQ(noisy.Receive("AT\r"), "~~AT\r\r\nOK\r\n");

    ModemSimOptions extra;
    extra.extra = "\r\nRING";
    EXPECT_EQ(Answer("ATZE1\r", extra), "ATZE1\r\r\nOK\r\n\r\nRING");
    EXPECT_EQ(Answer("ATX\r", extra), "ATX\r\r\nERROR\r\n");

    ModemSimOptions flood;
    flood.flood = 40;
    const std::string flooded = Answer("ATZE1\r", flood);
    ASSERT_EQ(flooded.size(), 6u + 40u);
    EXPECT_EQ(flooded.substr(0, 6), "ATZE1\r");
    EXPECT_NE(flooded.find('\0', 6), std::string::npos);

    ModemSimOptions silent;
    silent.silent = true;
    EXPECT_EQ(Answer("ATZE1\rAT+GCI=3D\r", silent), "");

    ModemSimOptions errorGci;
    errorGci.errorGci = true;
    ModemDialogue refusing(errorGci);
    EXPECT_EQ(refusing.Receive("AT+GCI=3D\r"), "AT+GCI=3D\r\r\nERROR\r\n");
    EXPECT_EQ(refusing.Receive("AT+GCI?\r"), "AT+GCI?\r\r\n+GCI: B5\r\n\r\nOK\r\n");
}

TEST(ModemDialogueTest, ArgumentEscapes) {
    EXPECT_EQ(UnescapeArgument("a\\r\\n\\x00\\x4Fk\\\\"), std::string("a\r\n\0Ok\\", 7));
    EXPECT_EQ(UnescapeArgument("tail\\"), "tail\\");
}

// A client on the simulator's device, raw, as the program would open it.
class SimClient {
public:
    explicit SimClient(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings{};
        ::tcgetattr(fd_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(fd_, TCSANOW, &settings);
    }
    ~SimClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Send(std::string_view bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes, a hang-up, or the limit; *hungUp tells which.
    std::string Receive(std::size_t count, std::chrono::milliseconds limit = 1000ms,
                        bool* hungUp = nullptr) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 10) <= 0) {
                continue;
            }
            char buffer[256];
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            } else if ((entry.revents & POLLHUP) != 0 || n < 0) {
                if (hungUp) {
                    *hungUp = true;
                }
                break;
            }
        }
        return got;
    }

private:
    int fd_ = -1;
};

std::string TempPath(const char* stem) {
    return std::string("/tmp/countryset-") + stem + "-" + std::to_string(::getpid());
}

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(ModemSimPtyTest, AnswersOnItsDeviceLogsInputAndKeepsStateAndLink) {
    ModemSimOptions options;
    options.logPath = TempPath("log");
    options.statePath = TempPath("state");
    options.linkPath = TempPath("link");
    ::unlink(options.statePath.c_str());
    {
        ModemSim sim(options);
        std::string error;
        ASSERT_TRUE(sim.Open(&error)) << error;
        char target[256] = {};
        ASSERT_GT(::readlink(options.linkPath.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.SlavePath(), target);
        sim.Start();
        {
            SimClient client(options.linkPath);
            ASSERT_TRUE(client.ok());
            client.Send("ATZE1\r");
            EXPECT_EQ(client.Receive(12), "ATZE1\r\r\nOK\r\n");
        }
        // A second client after the first one left: no hang-up in between.
        SimClient client(options.linkPath);
        ASSERT_TRUE(client.ok());
        client.Send("AT+GCI=42\r");
        EXPECT_EQ(client.Receive(16), "AT+GCI=42\r\r\nOK\r\n");
        sim.Stop();
        EXPECT_EQ(sim.Country(), 0x42);
    }
    EXPECT_EQ(FileText(options.logPath), "ATZE1\rAT+GCI=42\r");
    struct stat unused {};
    EXPECT_NE(::lstat(options.linkPath.c_str(), &unused), 0);  // link removed

    // The next run starts with the country the last one was given.
    ModemSimOptions again;
    again.statePath = options.statePath;
    ModemSim sim(again);
    ASSERT_TRUE(sim.Open(nullptr));
    EXPECT_EQ(sim.Country(), 0x42);
    ::unlink(options.logPath.c_str());
    ::unlink(options.statePath.c_str());
}

TEST(ModemSimPtyTest, ExclusionOfAClientThatEndedWithoutReleasingItIsCleared) {
    ModemSim sim(ModemSimOptions{});
    ASSERT_TRUE(sim.Open(nullptr));
    sim.Start();
    {
        SimClient client(sim.SlavePath());
        ASSERT_TRUE(client.ok());
        ASSERT_EQ(::ioctl(client.fd(), TIOCEXCL), 0);
    }  // closed without TIOCNXCL, as a killed process would
    // Root may open an exclusive terminal anyway, which lets the test look.
    SimClient observer(sim.SlavePath());
    ASSERT_TRUE(observer.ok());
    int exclusive = 1;
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (::ioctl(observer.fd(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(exclusive, 0);
}

TEST(ModemSimPtyTest, DelayHoldsBackTheReplyButNotTheEcho) {
    ModemSimOptions options;
    options.delayMs = 150;
    ModemSim sim(options);
    ASSERT_TRUE(sim.Open(nullptr));
    sim.Start();
    SimClient client(sim.SlavePath());
    client.Send("AT\r");
    EXPECT_EQ(client.Receive(3, 1000ms), "AT\r");
    EXPECT_EQ(client.Receive(6, 60ms), "");
    EXPECT_EQ(client.Receive(6, 1000ms), "\r\nOK\r\n");
}

TEST(ModemSimPtyTest, HangUpAfterSendsThatManyBytesThenHangsUp) {
    ModemSimOptions options;
    options.hangupAfter = 8;
    ModemSim sim(options);
    ASSERT_TRUE(sim.Open(nullptr));
    sim.Start();
    SimClient client(sim.SlavePath());
    client.Send("ATZE1\r");
    bool hungUp = false;
    EXPECT_EQ(client.Receive(100, 2000ms, &hungUp), "ATZE1\r\r\n");
    EXPECT_TRUE(hungUp);
    EXPECT_TRUE(sim.HungUp());
}

TEST(ModemSimPtyTest, PacedRepliesTakeTheLineTime) {
    ModemSimOptions options;
    options.pace = true;
    ModemSim sim(options);
    ASSERT_TRUE(sim.Open(nullptr));
    sim.Start();
    SimClient client(sim.SlavePath());
    const auto start = std::chrono::steady_clock::now();
    client.Send("AT+GCI=?\r");
    const std::string answer = client.Receive(185, 2000ms);
    // 185 bytes at 260 us each: well over 40 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    EXPECT_EQ(answer.size(), 185u);
    EXPECT_EQ(answer.substr(179), "\r\nOK\r\n");
}

}  // namespace
}  // namespace countryset
