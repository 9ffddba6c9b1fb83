// The network line against a server stand-in of the tests' own (what a server on a
// pseudo-terminal cannot show: confirmations, a refused option, a close mid-reply) and against
// the real serial server serving the modem simulator on a pseudo-terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end/program_run.h"
#include "modem_sim.h"
#include "serial/network_line.h"
#include "serial/telnet_codec.h"

namespace countryset {
namespace {

using namespace std::chrono_literals;
using namespace telnet;

std::string B(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

int ListenLoopback(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

// A free loopback port, for a server that binds it itself.
std::uint16_t FreePort() {
    std::uint16_t port = 0;
    ::close(ListenLoopback(port));
    return port;
}

// Collects the line's data until it holds want, the line ends or the limit passes.
std::string Collect(Line& line, std::size_t want, std::chrono::milliseconds limit,
                    LineWait* last = nullptr) {
    std::string got;
    const auto deadline = LineClock::now() + limit;
    while (got.size() < want) {
        const LineWait w = line.Wait(true, deadline);
        if (last != nullptr) {
            *last = w;
        }
        if (w != LineWait::Input) {
            break;
        }
        char buffer[256];
        const LineIo io = line.Read(buffer, sizeof buffer);
        got.append(buffer, io.moved);
    }
    return got;
}

void Send(Line& line, const std::string& text) {
    const LineIo io =
        line.Write(text.data(), static_cast<std::uint32_t>(text.size()), LineClock::now() + 1s);
    EXPECT_EQ(io.moved, text.size());
}

DCB LocalLineSettings() {
    DCB dcb;
    dcb.BaudRate = 38400;
    dcb.ByteSize = 8;
    dcb.Parity = kNoParity;
    dcb.StopBits = kOneStopBit;
    dcb.fDtrControl = kDtrControlEnable;
    dcb.fRtsControl = kRtsControlEnable;
    return dcb;
}

// One client at a time, served on a thread: the Telnet side as a server of the option would
// speak it, and a "modem" that answers every carriage return with the reply it was given.
class StandIn {
public:
    struct Behaviour {
        static Behaviour Of(std::string reply) {
            Behaviour b;
            b.reply = std::move(reply);
            return b;
        }
        bool refuseOption = false;  // DONT COM-PORT-OPTION
        bool negotiate = true;      // false: a server that never speaks Telnet
        bool confirmWires = true;   // answers DTR and RTS requests
        std::string reply;          // the modem's answer to each command line
        long closeAfter = -1;       // ends the connection after this many reply bytes
    };

    explicit StandIn(Behaviour behaviour) : m_behaviour(std::move(behaviour)) {
        m_listen = ListenLoopback(m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~StandIn() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    std::string Url(const char* scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }
    // The SET-CONTROL values received, in order.
    std::vector<int> Controls() {
        std::lock_guard lock(m_mutex);
        return m_controls;
    }
    std::string Received() {
        std::lock_guard lock(m_mutex);
        return m_data;
    }

private:
    void Put(int fd, const std::string& s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

    void Serve() {
        const int fd = ::accept(m_listen, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        if (m_behaviour.negotiate) {
            Put(fd, B({kIac, kWill, kOptionBinary, kIac, kWill, 1}));  // and one to refuse
        }
        enum { Data, Iac, Verb, Sb, SbIac } state = Data;
        int verb = 0;
        std::string sb;
        long replied = 0;
        char buffer[512];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                const auto c = static_cast<std::uint8_t>(buffer[i]);
                if (!m_behaviour.negotiate) {
                    state = Data;
                }
                switch (state) {
                    case Data:
                        if (c == kIac && m_behaviour.negotiate) {
                            state = Iac;
                            break;
                        }
                        {
                            std::lock_guard lock(m_mutex);
                            m_data.push_back(static_cast<char>(c));
                        }
                        if (c == '\r' && !m_behaviour.reply.empty()) {
                            std::string wire;
                            for (char r : m_behaviour.reply) {
                                if (m_behaviour.closeAfter >= 0 &&
                                    replied == m_behaviour.closeAfter) {
                                    break;
                                }
                                wire.push_back(r);
                                if (static_cast<std::uint8_t>(r) == kIac && m_behaviour.negotiate) {
                                    wire.push_back(r);
                                }
                                ++replied;
                            }
                            Put(fd, wire);
                            if (m_behaviour.closeAfter >= 0 && replied >= m_behaviour.closeAfter) {
                                ::close(fd);
                                return;
                            }
                        }
                        break;
                    case Iac:
                        state = c == kSb ? Sb : (c >= kWill && c <= kDont) ? Verb : Data;
                        verb = c;
                        if (c == kSb) {
                            sb.clear();
                        }
                        if (c == kIac) {
                            std::lock_guard lock(m_mutex);
                            m_data.push_back(static_cast<char>(c));
                        }
                        break;
                    case Verb:
                        if (verb == kWill && c == kOptionComPort) {
                            Put(fd, B({kIac, m_behaviour.refuseOption ? kDont : kDo, c}));
                        } else if (verb == kDo && c == kOptionBinary) {
                            Put(fd, B({kIac, kWill, c}));
                        } else if (verb == kWill && c == kOptionBinary) {
                            Put(fd, B({kIac, kDo, c}));
                        }
                        state = Data;
                        break;
                    case Sb:
                        if (c == kIac) {
                            state = SbIac;
                        } else {
                            sb.push_back(static_cast<char>(c));
                        }
                        break;
                    case SbIac:
                        if (c == kIac) {
                            sb.push_back(static_cast<char>(c));
                            state = Sb;
                            break;
                        }
                        state = Data;
                        if (sb.size() >= 3 && static_cast<std::uint8_t>(sb[0]) == kOptionComPort) {
                            const int command = static_cast<std::uint8_t>(sb[1]);
                            const int value = static_cast<std::uint8_t>(sb[2]);
                            const bool wire = command == kSetControl && value >= 7 && value <= 12;
                            if (command == kSetControl) {
                                std::lock_guard lock(m_mutex);
                                m_controls.push_back(value);
                            }
                            if (!wire || m_behaviour.confirmWires) {
                                std::string answer = B({kIac, kSb, kOptionComPort, command + 100});
                                answer += sb.substr(2);
                                Put(fd, answer + B({kIac, kSe}));
                            }
                        }
                        break;
                }
            }
        }
        ::close(fd);
    }

    Behaviour m_behaviour;
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<int> m_controls;
    std::string m_data;
};

bool HasNoteWith(const std::vector<std::string>& notes, const std::string& part) {
    for (const auto& n : notes) {
        if (n.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(NetworkLineTest, AServerWithoutTheOptionIsNotAnRfc2217Server) {
    for (bool negotiate : {true, false}) {
        StandIn::Behaviour b;
        b.refuseOption = true;
        b.negotiate = negotiate;
        StandIn server(b);
        PortOpenError error;
        EXPECT_EQ(OpenNetworkLine(server.Url(), error), nullptr);
        EXPECT_EQ(error.problem, PortProblem::NotRfc2217Server) << negotiate;
        EXPECT_EQ(error.device, server.Url());
        EXPECT_NE(PortProblemText(error).find("not an RFC 2217 server"), std::string::npos);
    }
    // Nothing listens: refused; a malformed URL says how to write one.
    PortOpenError error;
    EXPECT_EQ(OpenNetworkLine("rfc2217://127.0.0.1:" + std::to_string(FreePort()), error), nullptr);
    EXPECT_EQ(error.problem, PortProblem::ConnectionRefused);
    EXPECT_EQ(OpenNetworkLine("socket://127.0.0.1", error), nullptr);
    EXPECT_EQ(error.problem, PortProblem::Other);
    EXPECT_TRUE(IsNetworkDevice("socket://127.0.0.1"));
    EXPECT_FALSE(IsNetworkDevice("/dev/ttyS0"));
}

TEST(NetworkLineTest, WiresAreSetAndDroppedAndWhatTheServerLeavesUnconfirmedIsNoted) {
    for (bool confirm : {true, false}) {
        StandIn::Behaviour b = StandIn::Behaviour::Of("OK\r\n");
        b.confirmWires = confirm;
        StandIn server(b);
        PortOpenError error;
        auto line = OpenNetworkLine(server.Url(), error);
        ASSERT_TRUE(line) << PortProblemText(error);
        ASSERT_TRUE(line->Configure(LocalLineSettings()));
        ASSERT_TRUE(line->SetModemLine(ModemLine::Dtr, true));
        Send(*line, "AT\r");
        EXPECT_EQ(Collect(*line, 4, 3s), "OK\r\n");
        ASSERT_TRUE(line->SetModemLine(ModemLine::Dtr, false));
        line->Close(false);
        const auto notes = line->TakeNotes();
        // The order of a local line's open: no flow control, DTR and RTS up; DTR down last.
        const std::vector<int> wanted = {kControlNoFlow, kControlDtrOn, kControlRtsOn,
                                         kControlDtrOn, kControlDtrOff};
        for (int i = 0; i < 500 && server.Controls().size() < wanted.size(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(server.Controls(), wanted);
        // (DTR off went just before the close: its answer may or may not have been in time.)
        EXPECT_EQ(HasNoteWith(notes, "did not confirm SET-CONTROL DTR on"), !confirm) << confirm;
        EXPECT_FALSE(HasNoteWith(notes, "BAUDRATE")) << confirm;
        EXPECT_EQ(line->Wait(true, kNoDeadline), LineWait::Closed);
    }
    // A line released as the process ends drops DTR itself.
    StandIn server(StandIn::Behaviour{});
    PortOpenError error;
    auto line = OpenNetworkLine(server.Url(), error);
    ASSERT_TRUE(line);
    ASSERT_TRUE(line->Configure(LocalLineSettings()));
    line->Close(true);
    for (int i = 0; i < 200 && server.Controls().size() < 4; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(server.Controls().empty());
    EXPECT_EQ(server.Controls().back(), kControlDtrOff);
}

TEST(NetworkLineTest, TheModemsFfBytesArriveWholeAndACloseMidReplyIsAHangUp) {
    const std::string reply = B({'O', 0xFF, 'K', 0xFF, 0xFF, '\r', '\n'});
    for (const char* scheme : {"rfc2217", "socket"}) {
        StandIn::Behaviour b = StandIn::Behaviour::Of(reply);
        b.negotiate = std::string(scheme) == "rfc2217";
        b.closeAfter = 5;
        StandIn server(b);
        PortOpenError error;
        auto line = OpenNetworkLine(server.Url(scheme), error);
        ASSERT_TRUE(line) << PortProblemText(error);
        ASSERT_TRUE(line->Configure(LocalLineSettings()));
        const std::string command = B({'A', 0xFF, '\r'});
        Send(*line, command);
        LineWait last = LineWait::Failed;
        // Every byte before the close is read, then the hang-up.
        EXPECT_EQ(Collect(*line, 100, 3s, &last), reply.substr(0, 5)) << scheme;
        EXPECT_EQ(last, LineWait::HungUp) << scheme;
        char byte;
        EXPECT_EQ(line->Read(&byte, 1).status, LineStatus::HungUp);
        std::uint32_t queued = 0;
        EXPECT_FALSE(line->Queued(&queued));
        EXPECT_EQ(server.Received(), command) << scheme;
        line->Close(false);
    }
}

TEST(NetworkLineTest, AWakeEndsAWaitAndCloseEndsEverything) {
    StandIn server(StandIn::Behaviour{});
    PortOpenError error;
    auto line = OpenNetworkLine(server.Url(), error);
    ASSERT_TRUE(line);
    line->Wake();
    EXPECT_EQ(line->Wait(true, kNoDeadline), LineWait::Woken);
    EXPECT_EQ(line->Wait(true, LineClock::now() + 50ms), LineWait::TimedOut);
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        line->Close(false);
    });
    EXPECT_EQ(line->Wait(true, kNoDeadline), LineWait::Closed);
    closer.join();
    char byte = 'x';
    EXPECT_EQ(line->Write(&byte, 1, kNoDeadline).status, LineStatus::Closed);
    EXPECT_FALSE(line->SetModemLine(ModemLine::Dtr, true));
}

// ---- the real serial server

const char* kSer2net = "/usr/sbin/ser2net";

// The modem simulator on a pseudo-terminal, served by the real server on two loopback ports.
class Ser2netTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(kSer2net, X_OK) != 0) {
            if (std::getenv("COUNTRYSET_SER2NET_REQUIRED") != nullptr) {
                FAIL() << kSer2net << " is missing (install it with scripts/install-deps)";
            }
            GTEST_SKIP() << kSer2net << " is not installed";
        }
    }
    void TearDown() override {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_sim) {
            m_sim->Stop();
        }

        if (!m_folder.empty()) {
            (void)!std::system(("rm -rf " + m_folder).c_str());
        }
    }

    void Serve(ModemSimOptions options) {
        m_sim = std::make_unique<ModemSim>(options);
        std::string why;
        ASSERT_TRUE(m_sim->Open(&why)) << why;
        m_sim->Start();
        char folder[] = "/tmp/countryset-ser2net-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        m_folder = folder;
        m_rfcPort = FreePort();
        m_rawPort = FreePort();
        const std::string device = m_sim->SlavePath();
        std::ofstream(m_folder + "/ser2net.yaml")
            << "%YAML 1.1\n---\n"
            << "connection: &rfc\n    accepter: telnet(rfc2217),tcp,127.0.0.1," << m_rfcPort
            << "\n    enable: on\n    options:\n      kickolduser: true\n"
            << "    connector: serialdev," << device << ",9600n81,local\n"
            << "connection: &raw\n    accepter: tcp,127.0.0.1," << m_rawPort
            << "\n    enable: on\n    connector: serialdev," << device << ",9600n81,local\n";
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string config = m_folder + "/ser2net.yaml";
            const std::string pidFile = m_folder + "/ser2net.pid";
            ::execl(kSer2net, kSer2net, "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Up once both ports take a connection.
        for (std::uint16_t port : {m_rfcPort, m_rawPort}) {
            bool up = false;
            for (int i = 0; i < 500 && !up; ++i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                a.sin_port = htons(port);
                up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
                ::close(fd);
                if (!up) {
                    std::this_thread::sleep_for(10ms);
                }
            }
            ASSERT_TRUE(up) << "the serial server did not listen on " << port;
        }
        // The probing connections above must be gone before a client holds the device.
        std::this_thread::sleep_for(100ms);
    }

    std::string Url(bool rfc2217) const {
        return rfc2217 ? "rfc2217://127.0.0.1:" + std::to_string(m_rfcPort)
                       : "socket://localhost:" + std::to_string(m_rawPort);
    }

    std::unique_ptr<Line> Open(bool rfc2217) {
        PortOpenError error;
        auto line = OpenNetworkLine(Url(rfc2217), error);
        EXPECT_TRUE(line) << PortProblemText(error);
        if (line) {
            EXPECT_TRUE(line->Configure(LocalLineSettings()));
            EXPECT_TRUE(line->SetModemLine(ModemLine::Dtr, true));
            EXPECT_TRUE(line->Purge(true, true));
        }
        return line;
    }

    std::unique_ptr<ModemSim> m_sim;
    std::string m_folder;
    pid_t m_pid = -1;
    std::uint16_t m_rfcPort = 0;
    std::uint16_t m_rawPort = 0;
};

TEST_F(Ser2netTest, TheWholeExchangeThroughBothKindsAt38400) {
    Serve({});
    for (bool rfc2217 : {true, false}) {
        auto line = Open(rfc2217);
        ASSERT_TRUE(line);
        Send(*line, "ATZE1\r");
        EXPECT_EQ(Collect(*line, 12, 3s), "ATZE1\r\r\nOK\r\n") << rfc2217;
        Send(*line, "AT+GCI=3D\r");
        EXPECT_EQ(Collect(*line, 16, 3s), "AT+GCI=3D\r\r\nOK\r\n") << rfc2217;
        Send(*line, "AT+GCI?\r");
        EXPECT_EQ(Collect(*line, 26, 3s), "AT+GCI?\r\r\n+GCI: 3D\r\n\r\nOK\r\n") << rfc2217;
        if (rfc2217) {
            // The speed asked for reached the device; the server's own setting was 9600.
            const int fd = ::open(m_sim->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            termios t{};
            ASSERT_EQ(::tcgetattr(fd, &t), 0);
            EXPECT_EQ(::cfgetospeed(&t), B38400);
            ::close(fd);
        }
        line->SetModemLine(ModemLine::Dtr, false);
        line->Close(false);
        // A server on a pseudo-terminal cannot set the wires, and says nothing: noted.
        EXPECT_EQ(HasNoteWith(line->TakeNotes(), "did not confirm SET-CONTROL DTR"), rfc2217);
        // The server lets the device go before it takes the next client.
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(m_sim->Country(), 0x3D);
}

TEST_F(Ser2netTest, TheModemsFfBytesAndASilentModem) {
    ModemSimOptions options;
    options.extra = B({0xFF, 'x', 0xFF, 0xFF});
    Serve(options);
    for (bool rfc2217 : {true, false}) {
        auto line = Open(rfc2217);
        ASSERT_TRUE(line);
        Send(*line, "AT\r");
        EXPECT_EQ(Collect(*line, 13, 3s), "AT\r\r\nOK\r\n" + options.extra) << rfc2217;
        line->Close(false);
        std::this_thread::sleep_for(200ms);
    }
}

TEST_F(Ser2netTest, ASilentModemLeavesTheWaitToItsDeadline) {
    ModemSimOptions options;
    options.silent = true;
    Serve(options);
    auto line = Open(true);
    ASSERT_TRUE(line);
    Send(*line, "ATZE1\r");
    LineWait last = LineWait::Input;
    EXPECT_EQ(Collect(*line, 12, 300ms, &last), "");
    EXPECT_EQ(last, LineWait::TimedOut);
    line->Close(false);
}

// The program itself through the server: the whole job and a reading, by both kinds of URL in
// the settings file, as an operator would map a modem in another rack.
TEST_F(Ser2netTest, TheProgramSetsAndReadsAModemThroughBothKinds) {
    Serve({});
    testing::ProgramFolder folder;
    for (bool rfc2217 : {true, false}) {
        folder.WriteSettings(testing::SampleSettings(Url(rfc2217)));
        const char* country = rfc2217 ? "France" : "Germany";
        const testing::ProgramResult set =
            folder.Run("", {"--country", country, "--port", "COM1", "--json"});
        EXPECT_EQ(set.exitCode, 0) << rfc2217 << set.err;
        EXPECT_NE(set.out.find("\"outcome\":\"set_verified\""), std::string::npos)
            << rfc2217 << set.out;
        EXPECT_EQ(m_sim->Country(), rfc2217 ? 0x3D : 0x42);
        std::this_thread::sleep_for(200ms);
        const testing::ProgramResult read = folder.Run("", {"--query", "--port", "COM1"});
        EXPECT_EQ(read.exitCode, 0) << rfc2217 << read.err;
        EXPECT_NE(read.out.find(std::string("Current country: ") +
                                (rfc2217 ? "France (3D)" : "Germany (42)")),
                  std::string::npos)
            << rfc2217 << read.out;
        std::this_thread::sleep_for(200ms);
    }
}

}  // namespace
}  // namespace countryset
