#include "serial/network_line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "serial/net_socket.h"
#include "serial/network_port_url.h"
#include "serial/telnet_codec.h"

namespace countryset {

namespace {

using namespace telnet;
using std::chrono::milliseconds;

// What a line holds of the device's bytes before the logic reads them; more is lost, as a full
// driver queue loses it.
constexpr std::size_t kMaxInput = 65536;
// A slice of a write without room, so that a Close is seen.
constexpr int kWriteSliceMs = 100;

int MillisecondsUntil(LineDeadline deadline) {
    if (deadline == kNoDeadline) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - LineClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class NetworkLine final : public Line {
public:
    NetworkLine(std::unique_ptr<NetSocket> socket, NetworkPortKind kind)
        : m_socket(std::move(socket)), m_kind(kind), m_born(LineClock::now()) {}

    // The opening negotiation of RFC 2217: true once the server agreed to the option.
    bool Negotiate(LineDeadline deadline) {
        std::string offers;
        {
            std::lock_guard lock(m_mutex);
            m_codec.Start(offers);
        }
        if (m_socket->Send(Bytes(offers), kWriteSliceMs * 10) != static_cast<long>(offers.size())) {
            return false;
        }
        for (;;) {
            std::string answers;
            bool agreed = false;
            bool refused = false;
            bool hungUp = false;
            {
                std::lock_guard lock(m_mutex);
                Pump(answers);
                agreed = m_codec.ComPortAgreed();
                refused = m_codec.ComPortRefused();
                hungUp = m_hungUp;
            }
            SendAnswers(answers);
            if (agreed || refused || hungUp) {
                return agreed;
            }
            if (m_socket->WaitReadable(MillisecondsUntil(deadline)) == NetSocket::Wait::TimedOut) {
                return false;
            }
        }
    }

    bool Configure(const DCB& dcb) override {
        {
            std::lock_guard lock(m_mutex);
            m_dcb = dcb;
        }
        if (m_kind == NetworkPortKind::Raw) {
            return !m_closing.load(std::memory_order_acquire);  // the server's settings rule
        }
        std::uint8_t parity = 0;
        switch (dcb.Parity) {
            case kNoParity:
                parity = kParityNone;
                break;
            case kOddParity:
                parity = 2;
                break;
            case kEvenParity:
                parity = 3;
                break;
            default:
                parity = static_cast<std::uint8_t>(dcb.Parity + 1);  // mark, space
        }
        const std::uint8_t stop = dcb.StopBits == kTwoStopBits ? 2 : dcb.StopBits == 1 ? 3 : 1;
        std::uint8_t flow = kControlNoFlow;
        if (dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsControlHandshake) {
            flow = 3;
        } else if (dcb.fOutX || dcb.fInX) {
            flow = 2;
        }
        const std::uint64_t tag = Tick();
        std::string wire;
        {
            std::lock_guard lock(m_mutex);
            m_codec.RequestBaudRate(dcb.BaudRate, wire, tag);
            m_codec.RequestControl(kSetDataSize, dcb.ByteSize, wire, tag);
            m_codec.RequestControl(kSetParity, parity, wire, tag);
            m_codec.RequestControl(kSetStopSize, stop, wire, tag);
            m_codec.RequestControl(kSetControl, flow, wire, tag);
            m_codec.RequestControl(
                kSetControl, dcb.fDtrControl == kDtrControlDisable ? kControlDtrOff : kControlDtrOn,
                wire, tag);
            m_codec.RequestControl(
                kSetControl, dcb.fRtsControl == kRtsControlDisable ? kControlRtsOff : kControlRtsOn,
                wire, tag);
        }
        if (!SendProtocol(wire)) {
            return false;
        }
        // The settings that decide whether the modem can be understood are waited for; the
        // wires are noted later, as many servers never confirm them.
        const auto isSetting = [tag](const TelnetCodec::Request& r) {
            return r.tag == tag && !(r.command == kSetControl && r.value != kControlNoFlow &&
                                     r.value != 2 && r.value != 3);
        };
        const auto deadline = LineClock::now() + milliseconds(kNetworkConfirmMs);
        for (;;) {
            bool waiting = false;
            std::string answers;
            {
                std::lock_guard lock(m_mutex);
                Pump(answers);
                for (const auto& r : m_codec.Requests()) {
                    waiting = waiting || (isSetting(r) && !r.answered);
                }
            }
            SendAnswers(answers);
            if (!waiting || LineClock::now() >= deadline || m_closing.load()) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        std::lock_guard lock(m_mutex);
        bool taken = true;
        for (const auto& r : m_codec.Requests()) {
            if (isSetting(r) && r.answered && r.answer != r.value &&
                (r.command == kSetBaudRate || r.command == kSetDataSize)) {
                taken = false;
            }
        }
        Evaluate(isSetting, "within the wait; taken as set");
        return taken && !m_closing.load(std::memory_order_acquire);
    }

    bool Settings(DCB* dcb) override {
        std::lock_guard lock(m_mutex);
        *dcb = m_dcb;
        dcb->DCBlength = sizeof(DCB);
        return !m_closing.load(std::memory_order_acquire);
    }

    bool SetModemLine(ModemLine wire, bool raised) override {
        if (m_kind == NetworkPortKind::Raw) {
            return !m_closing.load(std::memory_order_acquire);
        }
        const std::uint8_t value = wire == ModemLine::Dtr
                                       ? (raised ? kControlDtrOn : kControlDtrOff)
                                       : (raised ? kControlRtsOn : kControlRtsOff);
        std::string request;
        {
            std::lock_guard lock(m_mutex);
            m_codec.RequestControl(kSetControl, value, request, Tick());
        }
        return SendProtocol(request);
    }

    bool Purge(bool input, bool output) override {
        if (m_kind == NetworkPortKind::Rfc2217 && (input || output)) {
            std::string request;
            {
                std::lock_guard lock(m_mutex);
                m_codec.RequestControl(kPurgeData,
                                       input && output ? kPurgeBoth
                                       : input         ? kPurgeReceive
                                                       : kPurgeTransmit,
                                       request, Tick());
            }
            if (!SendProtocol(request)) {
                return false;
            }
        }
        std::string answers;
        {
            std::lock_guard lock(m_mutex);
            Pump(answers);
            if (input) {
                m_input.clear();
            }
        }
        SendAnswers(answers);
        return !m_closing.load(std::memory_order_acquire);
    }

    bool Queued(std::uint32_t* count) override {
        std::string answers;
        bool known = false;
        {
            std::lock_guard lock(m_mutex);
            Pump(answers);
            *count = static_cast<std::uint32_t>(m_input.size());
            known = !m_closing.load(std::memory_order_acquire) && (!m_input.empty() || !m_hungUp);
        }
        SendAnswers(answers);
        return known;
    }

    LineIo Read(void* dest, std::uint32_t count) override {
        if (m_closing.load(std::memory_order_acquire)) {
            return {0, LineStatus::Closed};
        }
        std::string answers;
        LineIo io;
        {
            std::lock_guard lock(m_mutex);
            Pump(answers);
            const std::size_t n = std::min<std::size_t>(count, m_input.size());
            std::memcpy(dest, m_input.data(), n);
            m_input.erase(0, n);
            io.moved = static_cast<std::uint32_t>(n);
            if (n == 0 && m_hungUp) {
                io.status = LineStatus::HungUp;
            }
        }
        SendAnswers(answers);
        return io;
    }

    LineIo Write(const void* src, std::uint32_t count, LineDeadline deadline) override {
        const auto* bytes = static_cast<const std::uint8_t*>(src);
        std::lock_guard write(m_writeMutex);
        if (m_closing.load(std::memory_order_acquire)) {
            return {0, LineStatus::Closed};
        }
        std::string wire;
        bool binary = true;
        if (m_kind == NetworkPortKind::Raw) {
            wire.assign(reinterpret_cast<const char*>(bytes), count);
        } else {
            std::lock_guard lock(m_mutex);
            m_codec.EncodeData({bytes, count}, wire);
            binary = m_codec.Us(kOptionBinary) == TelnetCodec::Side::Yes;
        }
        std::size_t sent = 0;
        LineStatus status = LineStatus::Ok;
        while (sent < wire.size()) {
            if (m_closing.load(std::memory_order_acquire)) {
                status = LineStatus::Closed;
                break;
            }
            const int left = MillisecondsUntil(deadline);
            const long n = m_socket->Send(Bytes(wire).subspan(sent),
                                          left < 0 ? kWriteSliceMs : std::min(left, kWriteSliceMs));
            if (n < 0) {
                status = LineStatus::HungUp;
                break;
            }
            sent += static_cast<std::size_t>(n);
            if (left == 0) {
                break;
            }
        }
        // The device's bytes whose whole encoding went.
        std::uint32_t moved = 0;
        for (std::size_t used = 0; moved < count; ++moved) {
            const std::uint8_t b = bytes[moved];
            used += m_kind == NetworkPortKind::Raw
                        ? 1
                        : 1 + (b == kIac ? 1 : 0) + (b == '\r' && !binary ? 1 : 0);
            if (used > sent) {
                break;
            }
        }
        return {moved, status};
    }

    LineWait Wait(bool forInput, LineDeadline deadline) override {
        for (;;) {
            if (m_closing.load(std::memory_order_acquire)) {
                return LineWait::Closed;
            }
            std::string answers;
            bool input = false;
            bool hungUp = false;
            {
                std::lock_guard lock(m_mutex);
                Pump(answers);
                input = !m_input.empty();
                hungUp = m_hungUp;
            }
            SendAnswers(answers);
            if (forInput && input) {
                return LineWait::Input;
            }
            if (hungUp && forInput) {
                return LineWait::HungUp;
            }
            // A connection that has ended is no input: only a wake or the deadline end this.
            const int ms = MillisecondsUntil(deadline);
            switch (hungUp ? m_socket->WaitWake(ms) : m_socket->WaitReadable(ms)) {
                case NetSocket::Wait::Woken:
                    return m_closing.load(std::memory_order_acquire) ? LineWait::Closed
                                                                     : LineWait::Woken;
                case NetSocket::Wait::TimedOut:
                    return LineWait::TimedOut;
                case NetSocket::Wait::Readable:
                    break;  // protocol bytes are handled and waited past
            }
        }
    }

    void Wake() override { m_socket->Wake(); }

    void Close(bool full) override {
        if (m_closing.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        m_socket->Wake();
        std::lock_guard write(m_writeMutex);
        if (full && m_kind == NetworkPortKind::Rfc2217) {
            std::string last;
            {
                std::lock_guard lock(m_mutex);
                m_codec.RequestControl(kSetControl, kControlDtrOff, last, Tick());
                m_codec.RequestControl(kPurgeData, kPurgeBoth, last, Tick());
            }
            m_socket->Send(Bytes(last), kWriteSliceMs);
        }
        {
            // Read what came, so that the end of the connection is orderly and not a reset that
            // could cost the server the last request.
            std::lock_guard lock(m_mutex);
            std::string ignored;
            Pump(ignored);
            const std::uint64_t now = Tick();
            Evaluate(
                [now](const TelnetCodec::Request& r) { return now - r.tag >= kNetworkConfirmMs; },
                "within the wait; taken as set");
            Evaluate([](const TelnetCodec::Request&) { return true; },
                     "before the line was closed");
        }
        m_socket->Shutdown();
        m_socket->Wake();
    }

    std::vector<std::string> TakeNotes() override {
        std::lock_guard lock(m_mutex);
        const std::uint64_t now = Tick();
        Evaluate([now](const TelnetCodec::Request& r) { return now - r.tag >= kNetworkConfirmMs; },
                 "within the wait; taken as set");
        std::vector<std::string> notes;
        notes.swap(m_notes);
        return notes;
    }

private:
    std::uint64_t Tick() const {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<milliseconds>(LineClock::now() - m_born).count());
    }

    // Takes what has arrived: the device's bytes into the input, the protocol's answers into
    // answers. The caller holds m_mutex.
    void Pump(std::string& answers) {
        std::uint8_t buffer[4096];
        std::string decoded;
        for (;;) {
            const long n = m_socket->ReceiveSome(buffer, sizeof buffer);
            if (n < 0) {
                m_hungUp = true;
                break;
            }
            if (n == 0) {
                break;
            }
            const std::span<const std::uint8_t> got(buffer, static_cast<std::size_t>(n));
            decoded.clear();
            if (m_kind == NetworkPortKind::Raw) {
                decoded.assign(reinterpret_cast<const char*>(buffer), got.size());
            } else {
                m_codec.Receive(got, decoded, answers);
            }
            const std::size_t room = kMaxInput - std::min(kMaxInput, m_input.size());
            m_input.append(decoded, 0, std::min(room, decoded.size()));
        }
    }

    // The protocol's answers to the server's negotiation; nothing goes after a Close.
    void SendAnswers(const std::string& answers) {
        if (answers.empty()) {
            return;
        }
        std::lock_guard write(m_writeMutex);
        if (!m_closing.load(std::memory_order_acquire)) {
            m_socket->Send(Bytes(answers), kWriteSliceMs * 10);
        }
    }

    // A request of the line's own, whole or not at all as far as the line can help it.
    bool SendProtocol(const std::string& request) {
        std::lock_guard write(m_writeMutex);
        if (m_closing.load(std::memory_order_acquire)) {
            return false;
        }
        return m_socket->Send(Bytes(request), kWriteSliceMs * 10) ==
               static_cast<long>(request.size());
    }

    // Notes what the server answered otherwise, and, when due, what it left unanswered, then
    // forgets those requests. The caller holds m_mutex.
    template <class Due>
    void Evaluate(Due due, const char* when) {
        m_codec.KeepRequests([&](const TelnetCodec::Request& r) {
            if (r.answered) {
                if (r.answer != r.value) {
                    m_notes.push_back("the server answered " + TelnetCodec::RequestName(r) +
                                      " with " + std::to_string(r.answer));
                }
                return false;
            }
            if (!due(r)) {
                return true;
            }
            m_notes.push_back("the server did not confirm " + TelnetCodec::RequestName(r) + " " +
                              when);
            return false;
        });
    }

    const std::unique_ptr<NetSocket> m_socket;
    const NetworkPortKind m_kind;
    const LineClock::time_point m_born;
    std::atomic<bool> m_closing{false};
    // Serialises everything sent, so a request never lands inside a write, and Close with both.
    std::mutex m_writeMutex;
    // Guards the codec, the input, the notes and the settings; never held while waiting on
    // m_writeMutex.
    std::mutex m_mutex;
    TelnetCodec m_codec;
    std::string m_input;
    bool m_hungUp = false;
    DCB m_dcb;
    std::vector<std::string> m_notes;
};

PortProblem ProblemOfConnect(ConnectProblem problem) {
    switch (problem) {
        case ConnectProblem::Refused:
            return PortProblem::ConnectionRefused;
        case ConnectProblem::Unreachable:
            return PortProblem::HostUnreachable;
        case ConnectProblem::TimedOut:
            return PortProblem::ConnectTimedOut;
        case ConnectProblem::NameNotFound:
            return PortProblem::HostNotFound;
        default:
            return PortProblem::Other;
    }
}

}  // namespace

bool IsNetworkDevice(std::string_view device) {
    return IsNetworkPortName(device);
}

std::unique_ptr<Line> OpenNetworkLine(std::string_view device, PortOpenError& error) {
    error = PortOpenError{};
    error.device = std::string(device);
    const auto url = ParseNetworkPortUrl(device);
    if (!url) {
        error.problem = PortProblem::Other;
        error.detail = "write it as rfc2217://HOST:PORT or socket://HOST:PORT";
        return nullptr;
    }
    const auto start = LineClock::now();
    ConnectResult connection = ConnectTcp(url->host, url->port, kNetworkConnectMs);
    if (!connection.socket) {
        error.problem = ProblemOfConnect(connection.problem);
        error.detail = connection.detail;
        return nullptr;
    }
    auto line = std::make_unique<NetworkLine>(std::move(connection.socket), url->kind);
    if (url->kind == NetworkPortKind::Rfc2217) {
        // The agreement shares the connect bound, with a second at least for a slow link.
        const auto deadline = std::max(start + milliseconds(kNetworkConnectMs),
                                       LineClock::now() + milliseconds(1000));
        if (!line->Negotiate(deadline)) {
            line->Close(false);
            error.problem = PortProblem::NotRfc2217Server;
            return nullptr;
        }
    }
    error.problem = PortProblem::None;
    error.device.clear();
    return line;
}

}  // namespace countryset
