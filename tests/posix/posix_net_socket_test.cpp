// Connecting on the loopback interface: each reason the operator may read, within the bound.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "serial/net_socket.h"

namespace countryset {
namespace {

// A listening socket on a free loopback port; backlog as given.
struct Listener {
    explicit Listener(int backlog) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t length = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int fd = -1;
    std::uint16_t port = 0;
};

TEST(NetSocketTest, ConnectsOrSaysWhyNot) {
    std::uint16_t closedPort = 0;
    {
        Listener gone(1);
        closedPort = gone.port;
    }
    ConnectResult r = ConnectTcp("127.0.0.1", closedPort, 3000);
    EXPECT_EQ(r.problem, ConnectProblem::Refused);
    EXPECT_FALSE(r.socket);
    EXPECT_EQ(ConnectProblemWords(r.problem), "refused");

    r = ConnectTcp("no-such-host.invalid", 7001, 3000);
    // An offline resolver may take the whole bound to give up; either way no connection.
    EXPECT_TRUE(r.problem == ConnectProblem::NameNotFound || r.problem == ConnectProblem::TimedOut)
        << ConnectProblemWords(r.problem);

    // A listener whose queue is full drops further attempts unanswered: the bound ends them.
    Listener full(0);
    std::unique_ptr<NetSocket> held[4];
    ConnectProblem last = ConnectProblem::None;
    for (auto& h : held) {
        ConnectResult attempt = ConnectTcp("127.0.0.1", full.port, 300);
        h = std::move(attempt.socket);
        last = attempt.problem;
        if (last != ConnectProblem::None) {
            break;
        }
    }
    EXPECT_EQ(last, ConnectProblem::TimedOut);
}

TEST(NetSocketTest, MovesBytesSeesTheCloseAndWakesAWait) {
    Listener server(4);
    ConnectResult r = ConnectTcp("localhost", server.port, 3000);
    ASSERT_TRUE(r.socket) << ConnectProblemWords(r.problem) << " " << r.detail;
    const int peer = ::accept(server.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    NetSocket& s = *r.socket;

    std::uint8_t buffer[16];
    EXPECT_EQ(s.ReceiveSome(buffer, sizeof buffer), 0);  // nothing yet, and no waiting
    const std::uint8_t hello[] = {'A', 'T', 0xFF, '\r'};
    ASSERT_EQ(s.Send(hello, 1000), 4);
    std::uint8_t got[4] = {};
    ASSERT_EQ(::recv(peer, got, sizeof got, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(got, got + 4), std::string(hello, hello + 4));

    // A wake before the wait ends the wait at once, and only one.
    s.Wake();
    EXPECT_EQ(s.WaitReadable(-1), NetSocket::Wait::Woken);
    EXPECT_EQ(s.WaitReadable(0), NetSocket::Wait::TimedOut);

    ASSERT_EQ(::send(peer, "OK", 2, 0), 2);
    EXPECT_EQ(s.WaitReadable(-1), NetSocket::Wait::Readable);
    EXPECT_EQ(s.ReceiveSome(buffer, sizeof buffer), 2);
    ::close(peer);
    EXPECT_EQ(s.WaitReadable(-1), NetSocket::Wait::Readable);
    EXPECT_EQ(s.ReceiveSome(buffer, sizeof buffer), -1);
}

}  // namespace
}  // namespace countryset
