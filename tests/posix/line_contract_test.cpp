// The contract of line.h, run for every kind of line against a peer the test plays: the far end
// of a pseudo-terminal for the terminal line, a TCP server for the network lines. A kit opens
// the line and plays its peer; the cases are the same for every kit.
#include "serial/line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "serial/comm_port.h"
#include "serial/network_line.h"
#include "serial/port_problem.h"
#include "serial/posix_terminal_line.h"

namespace countryset {
namespace {

using namespace std::chrono_literals;

// Generous: only a hang should ever reach it.
constexpr auto kHang = 20s;

LineDeadline In(std::chrono::milliseconds span) {
    return LineClock::now() + span;
}

// Every byte value, the protocol's escape (0xFF) doubled and a CR followed by NUL among them.
std::string EveryByte() {
    std::string bytes = "\xFF\xFF\r\n\r";
    bytes += '\0';
    for (int pass = 0; pass < 2; ++pass) {
        for (int value = 0; value < 256; ++value) {
            bytes += static_cast<char>(value);
        }
    }
    return bytes;
}

// The far end of a pseudo-terminal; the line opens its device side.
class TerminalKit {
public:
    static constexpr bool kWritesStall = true;
    // The kernel empties a terminal's input when its far end hangs up.
    static constexpr bool kKeepsInputAtHangUp = false;

    TerminalKit() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
            ::ptsname_r(master_, name, sizeof name) == 0) {
            device_ = name;
        }
    }
    ~TerminalKit() { PeerHangUp(); }
    TerminalKit(const TerminalKit&) = delete;
    TerminalKit& operator=(const TerminalKit&) = delete;

    std::unique_ptr<Line> Open(PortOpenError& error) {
        return OpenPosixTerminalLine(device_, error);
    }
    void PeerSend(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the peer has received once `count` bytes are there, or the hang guard passed.
    std::string PeerReceive(std::size_t count) {
        std::string got;
        char buffer[4096];
        const auto until = LineClock::now() + kHang;
        while (got.size() < count && LineClock::now() < until) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 100) > 0) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return got;
    }
    void PeerHangUp() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

private:
    int master_ = -1;
    std::string device_;
};

// The server end of a network line: raw TCP, or Telnet with the Com Port Control option, where
// the peer agrees to the client's offers, confirms every request and escapes what it sends.
template <bool kTelnet>
class NetworkKit {
public:
    static constexpr bool kWritesStall = false;  // the loopback's buffers take megabytes
    static constexpr bool kKeepsInputAtHangUp = true;

    NetworkKit() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        socklen_t length = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        reader_ = std::thread([this] { Serve(); });
    }
    ~NetworkKit() {
        PeerHangUp();
        ::shutdown(listen_, SHUT_RDWR);
        reader_.join();
        ::close(listen_);
    }
    NetworkKit(const NetworkKit&) = delete;
    NetworkKit& operator=(const NetworkKit&) = delete;

    std::unique_ptr<Line> Open(PortOpenError& error) {
        auto line = OpenNetworkLine(
            std::string(kTelnet ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port_),
            error);
        // A raw connection is open once the system has it queued; the peer takes it a moment
        // later, and only then can it send.
        for (const auto until = LineClock::now() + kHang; LineClock::now() < until;) {
            {
                std::lock_guard lock(mutex_);
                if (peer_ >= 0) {
                    break;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
        return line;
    }
    void PeerSend(std::string_view bytes) {
        std::string wire;
        for (char c : bytes) {
            wire += c;
            if (kTelnet && c == '\xFF') {
                wire += c;
            }
        }
        Put(wire);
    }
    std::string PeerReceive(std::size_t count) {
        const auto until = LineClock::now() + kHang;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (data_.size() >= count || LineClock::now() >= until) {
                    return data_;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    void PeerHangUp() {
        std::lock_guard lock(mutex_);
        hungUp_ = true;
        if (peer_ >= 0) {
            ::shutdown(peer_, SHUT_RDWR);
        }
    }

private:
    void Put(const std::string& wire) {
        // A raw line is open as soon as it connects, which may be before the peer accepted.
        std::unique_lock lock(mutex_);
        const auto until = LineClock::now() + kHang;
        while (peer_ < 0 && LineClock::now() < until) {
            lock.unlock();
            std::this_thread::sleep_for(1ms);
            lock.lock();
        }
        ASSERT_EQ(::send(peer_, wire.data(), wire.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(wire.size()));
    }
    void Serve() {
        const int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            peer_ = fd;
            if (hungUp_) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        enum { Data, Iac, Verb, Sb, SbIac } state = Data;
        unsigned char verb = 0;
        std::string sb;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            std::lock_guard lock(mutex_);
            for (ssize_t i = 0; i < n; ++i) {
                const auto c = static_cast<unsigned char>(buffer[i]);
                if (!kTelnet || (state == Data && c != 0xFF)) {
                    data_ += static_cast<char>(c);
                    continue;
                }
                std::string answer;
                switch (state) {
                    case Data:
                        state = Iac;
                        break;
                    case Iac:
                        state = c == 250 ? Sb : (c >= 251 && c <= 254) ? Verb : Data;
                        verb = c;
                        sb.clear();
                        if (c == 0xFF) {
                            data_ += static_cast<char>(c);
                        }
                        break;
                    case Verb:
                        // WILL is answered DO, DO is answered WILL: the peer agrees to all.
                        if (verb == 251 || verb == 253) {
                            answer = {'\xFF', static_cast<char>(verb == 251 ? 253 : 251),
                                      static_cast<char>(c)};
                        }
                        state = Data;
                        break;
                    case Sb:
                        if (c == 0xFF) {
                            state = SbIac;
                        } else {
                            sb += static_cast<char>(c);
                        }
                        break;
                    case SbIac:
                        if (c == 0xFF) {
                            sb += static_cast<char>(c);
                            state = Sb;
                            break;
                        }
                        state = Data;
                        if (sb.size() >= 2) {
                            answer = "\xFF\xFA";
                            answer += sb[0];
                            answer += static_cast<char>(sb[1] + 100);
                            for (char v : sb.substr(2)) {
                                answer += v;
                                if (v == '\xFF') {
                                    answer += v;
                                }
                            }
                            answer += "\xFF\xF0";
                        }
                        break;
                }
                if (!answer.empty()) {
                    (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                }
            }
        }
        std::lock_guard lock(mutex_);
        ::close(fd);
        peer_ = -1;
    }

    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    int peer_ = -1;        // guarded by mutex_
    bool hungUp_ = false;  // guarded by mutex_
    std::string data_;     // what the peer received, guarded by mutex_
    std::thread reader_;
};
using RawKit = NetworkKit<false>;
using Rfc2217Kit = NetworkKit<true>;

template <typename Kit>
class LineContract : public ::testing::Test {
protected:
    void SetUp() override {
        PortOpenError error;
        line_ = kit_.Open(error);
        ASSERT_TRUE(line_) << PortProblemText(error);
        ASSERT_TRUE(line_->Configure(RunLineSettings(PortState{})));
    }
    void TearDown() override {
        if (line_) {
            line_->Close(false);
        }
    }
    // The line's input once `count` bytes have come, read in whatever pieces they arrive.
    std::string ReadAtLeast(std::size_t count) {
        std::string got;
        char buffer[512];
        const auto until = LineClock::now() + kHang;
        while (got.size() < count && LineClock::now() < until) {
            const LineWait waited = line_->Wait(true, until);
            if (waited != LineWait::Input) {
                ADD_FAILURE() << "the wait ended with " << static_cast<int>(waited);
                break;
            }
            std::uint32_t queued = 0;
            EXPECT_TRUE(line_->Queued(&queued));
            EXPECT_GT(queued, 0u) << "input was reported with nothing queued";
            const LineIo io = line_->Read(buffer, sizeof buffer);
            EXPECT_EQ(io.status, LineStatus::Ok);
            got.append(buffer, io.moved);
        }
        return got;
    }
    // Runs body on a thread of its own; what it returned, or a failure when it hangs.
    template <typename Body>
    auto OnAnotherThread(Body body) {
        return std::async(std::launch::async, body);
    }

    Kit kit_;
    std::unique_ptr<Line> line_;
};

using Kits = ::testing::Types<TerminalKit, RawKit, Rfc2217Kit>;
TYPED_TEST_SUITE(LineContract, Kits);

TYPED_TEST(LineContract, EveryByteCrossesBothWaysUnchanged) {
    const std::string bytes = EveryByte();
    const LineIo sent =
        this->line_->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), In(kHang));
    EXPECT_EQ(sent.status, LineStatus::Ok);
    EXPECT_EQ(sent.moved, bytes.size());
    EXPECT_EQ(this->kit_.PeerReceive(bytes.size()), bytes);

    this->kit_.PeerSend(bytes);
    EXPECT_EQ(this->ReadAtLeast(bytes.size()), bytes);
    // Nothing more than was sent: the line invents no byte.
    EXPECT_EQ(this->line_->Wait(true, In(20ms)), LineWait::TimedOut);
}

TYPED_TEST(LineContract, EachWakeEndsOneWaitAndNoneIsLost) {
    Line& line = *this->line_;
    // One that came before the wait began.
    line.Wake();
    EXPECT_EQ(line.Wait(true, In(10s)), LineWait::Woken);
    EXPECT_EQ(line.Wait(true, In(20ms)), LineWait::TimedOut);
    // While it waits without end.
    auto waited = this->OnAnotherThread([&] { return line.Wait(false, kNoDeadline); });
    std::this_thread::sleep_for(20ms);
    line.Wake();
    ASSERT_EQ(waited.wait_for(kHang), std::future_status::ready) << "the wake-up was lost";
    EXPECT_EQ(waited.get(), LineWait::Woken);
    // Input is reported only to a wait that asks for it.
    this->kit_.PeerSend("x");
    EXPECT_EQ(line.Wait(true, In(10s)), LineWait::Input);
    EXPECT_EQ(line.Wait(false, In(20ms)), LineWait::TimedOut);
    EXPECT_EQ(this->ReadAtLeast(1), "x");
}

TYPED_TEST(LineContract, AHangUpComesAfterTheBytesBeforeIt) {
    this->kit_.PeerSend("OK\r\n");
    std::uint32_t queued = 0;
    while (this->line_->Wait(true, In(10s)) == LineWait::Input && this->line_->Queued(&queued) &&
           queued < 4) {
        std::this_thread::sleep_for(1ms);
    }
    this->kit_.PeerHangUp();
    if (TypeParam::kKeepsInputAtHangUp) {
        EXPECT_EQ(this->ReadAtLeast(4), "OK\r\n");
    }
    EXPECT_EQ(this->line_->Wait(true, In(10s)), LineWait::HungUp);
    char byte = 0;
    EXPECT_EQ(this->line_->Read(&byte, 1).status, LineStatus::HungUp);
    // A dead line does not count as input, nor does a wait that ignores input end on it.
    EXPECT_EQ(this->line_->Wait(false, In(20ms)), LineWait::TimedOut);
}

TYPED_TEST(LineContract, CloseEndsWaitsAndWritesAndRefusesEveryLaterCall) {
    Line& line = *this->line_;
    auto waited = this->OnAnotherThread([&] { return line.Wait(true, kNoDeadline); });
    // A write the far end does not take, where the kind can show one.
    const std::string big(TypeParam::kWritesStall ? 4u << 20 : 1u, 'x');
    auto written = this->OnAnotherThread([&] {
        return line.Write(big.data(), static_cast<std::uint32_t>(big.size()), kNoDeadline);
    });
    std::this_thread::sleep_for(20ms);
    line.Close(false);
    ASSERT_EQ(waited.wait_for(kHang), std::future_status::ready) << "the wait outlived Close";
    EXPECT_EQ(waited.get(), LineWait::Closed);
    ASSERT_EQ(written.wait_for(kHang), std::future_status::ready) << "the write outlived Close";
    const LineIo io = written.get();
    if (TypeParam::kWritesStall) {
        EXPECT_EQ(io.status, LineStatus::Closed);
        EXPECT_LT(io.moved, big.size());
    }

    EXPECT_FALSE(line.Configure(RunLineSettings(PortState{})));
    EXPECT_FALSE(line.SetModemLine(ModemLine::Dtr, true));
    EXPECT_FALSE(line.Purge(true, true));
    std::uint32_t queued = 0;
    EXPECT_FALSE(line.Queued(&queued));
    char byte = 0;
    EXPECT_EQ(line.Read(&byte, 1).status, LineStatus::Closed);
    EXPECT_EQ(line.Write("AT\r", 3, In(1s)).status, LineStatus::Closed);
    EXPECT_EQ(line.Wait(true, In(1s)), LineWait::Closed);
    line.Close(true);  // once is enough; again changes nothing
}

TYPED_TEST(LineContract, HoldsTheRunsSettingsAndDropsStaleInputOnAPurge) {
    DCB held;
    ASSERT_TRUE(this->line_->Settings(&held));
    EXPECT_EQ(held.BaudRate, 38400u);
    EXPECT_EQ(held.ByteSize, 8u);
    EXPECT_EQ(held.Parity, kNoParity);
    EXPECT_EQ(held.StopBits, kOneStopBit);
    EXPECT_EQ(held.fOutX | held.fInX | held.fOutxCtsFlow, 0u);
    EXPECT_TRUE(this->line_->SetModemLine(ModemLine::Dtr, true));
    EXPECT_TRUE(this->line_->SetModemLine(ModemLine::Rts, true));

    this->kit_.PeerSend("stale");
    std::uint32_t queued = 0;
    while (this->line_->Wait(true, In(10s)) == LineWait::Input && this->line_->Queued(&queued) &&
           queued < 5) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(queued, 5u);
    ASSERT_TRUE(this->line_->Purge(true, true));
    ASSERT_TRUE(this->line_->Queued(&queued));
    EXPECT_EQ(queued, 0u);
    this->kit_.PeerSend("new");
    EXPECT_EQ(this->ReadAtLeast(3), "new");
}

TYPED_TEST(LineContract, AWriteTheFarEndDoesNotTakeEndsShortAtItsDeadline) {
    if (!TypeParam::kWritesStall) {
        GTEST_SKIP() << "this kind's peer takes whatever is sent";
    }
    const std::string big(4u << 20, 'x');
    const LineIo io =
        this->line_->Write(big.data(), static_cast<std::uint32_t>(big.size()), In(100ms));
    EXPECT_EQ(io.status, LineStatus::Ok);
    EXPECT_GT(io.moved, 0u);
    EXPECT_LT(io.moved, big.size());
}

}  // namespace
}  // namespace countryset
