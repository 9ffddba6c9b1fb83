// A TCP connection for the network lines, the one piece of them that knows its system
// (posix_net_socket.cpp, win32_net_socket.cpp): connecting within a deadline, sending,
// reading what has arrived, and a wait for input that another thread can cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace countryset {

// Why a connection could not be made.
enum class ConnectProblem { None, Refused, Unreachable, TimedOut, NameNotFound, Other };

// The reason in the words the operator reads ("refused", "timed out" ...).
std::string_view ConnectProblemWords(ConnectProblem problem);

class NetSocket {
public:
    enum class Wait { Readable, Woken, TimedOut };

    virtual ~NetSocket() = default;

    // Sends the bytes, waiting at most timeoutMs for room: the count sent (short when the time
    // ran out), or -1 once the connection is gone.
    virtual long Send(std::span<const std::uint8_t> bytes, int timeoutMs) = 0;
    // What has arrived, without waiting: the count placed (0 when nothing waits), or -1 once
    // the server has closed the connection or it failed.
    virtual long ReceiveSome(std::uint8_t* dest, std::size_t capacity) = 0;
    // Waits until input (or the server's close) is there, Wake is called, or timeoutMs passes
    // (-1: no limit). A Wake that comes before the wait ends the next wait at once.
    virtual Wait WaitReadable(int timeoutMs) = 0;
    // WaitReadable for Wake alone, for a connection that has nothing more to give.
    virtual Wait WaitWake(int timeoutMs) = 0;
    // From any thread.
    virtual void Wake() = 0;
    // Ends the connection both ways (what was sent still goes); reads then fail and waits end.
    // The socket itself is released with the object.
    virtual void Shutdown() = 0;
};

struct ConnectResult {
    std::unique_ptr<NetSocket> socket;  // empty when the connection failed
    ConnectProblem problem = ConnectProblem::None;
    std::string detail;  // the system's words for Other
};

// Connects to host:port, trying each address the name has, all within timeoutMs, name look-up
// included.
ConnectResult ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs);

}  // namespace countryset

namespace countryset {

// Runs work on a thread of its own and waits at most timeoutMs for it; false when it took
// longer, and the work then ends unwatched (it must own what it touches). For the name look-up,
// which the systems do not bound themselves.
bool RunWithin(std::function<void()> work, int timeoutMs);

}  // namespace countryset
