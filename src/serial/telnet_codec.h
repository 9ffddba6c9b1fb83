// The client side of Telnet with the Com Port Control option (RFC 854, 855, 856, 2217), as bytes
// in and bytes out: no socket, no clock. The network line feeds it what the server sent and
// writes what it asks to be written, so every protocol rule is tested here without a network.
//
// What it negotiates: BINARY both ways and COM-PORT-OPTION on the client's side; every other
// option either side proposes is refused. Option state follows the "Q method" (RFC 1143), so a
// server that repeats itself never starts a negotiation loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace countryset {

namespace telnet {
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionComPort = 44;

// Com Port Control commands, client to server; the server answers with the command plus 100.
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerReplyOffset = 100;

// Values.
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopSizeOne = 1;
inline constexpr std::uint8_t kControlNoFlow = 1;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;
inline constexpr std::uint8_t kPurgeReceive = 1;   // the server's buffer of bytes from the device
inline constexpr std::uint8_t kPurgeTransmit = 2;  // the server's buffer of bytes to the device
inline constexpr std::uint8_t kPurgeBoth = 3;
}  // namespace telnet

class TelnetCodec {
public:
    // Where one side of one option stands (RFC 1143).
    enum class Side : std::uint8_t { No, Yes, WantNo, WantYes };

    // A control request and the server's answer to it.
    struct Request {
        std::uint8_t command = 0;
        std::uint32_t value = 0;
        bool answered = false;
        std::uint32_t answer = 0;  // what the server says it set, once answered
        std::uint64_t tag = 0;     // the caller's own (when it was sent, say)
    };
    // Requests kept for matching with answers; one more is dropped, oldest first.
    static constexpr std::size_t kMaxRequests = 16;
    // The longest subnegotiation kept; longer ones are read to their end and ignored.
    static constexpr std::size_t kMaxSubnegotiation = 64;

    // The opening offers: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
    void Start(std::string& out);

    // Reads bytes from the server: the device's bytes go to data (IAC IAC undone, and CR NUL
    // undone while the server does not send binary), answers to the server's negotiation go to
    // out. Any split of the stream into calls gives the same result.
    void Receive(std::span<const std::uint8_t> in, std::string& data, std::string& out);

    // Device bytes to send: IAC doubled, and CR sent as CR NUL while binary is not agreed.
    void EncodeData(std::span<const std::uint8_t> in, std::string& out) const;

    // Appends a Com Port Control request and keeps it for matching with the server's answer.
    void RequestBaudRate(std::uint32_t bitsPerSecond, std::string& out, std::uint64_t tag = 0);
    void RequestControl(std::uint8_t command, std::uint8_t value, std::string& out,
                        std::uint64_t tag = 0);

    Side Us(std::uint8_t option) const { return m_us[option]; }
    Side Him(std::uint8_t option) const { return m_him[option]; }
    // The server agreed to the Com Port Control option, or refused it.
    bool ComPortAgreed() const { return m_us[telnet::kOptionComPort] == Side::Yes; }
    bool ComPortRefused() const { return m_comPortRefused; }

    std::span<const Request> Requests() const { return {m_requests.data(), m_requestCount}; }
    void ClearRequests() { m_requestCount = 0; }
    // Keeps the requests for which keep is true, in their order.
    template <class Keep>
    void KeepRequests(Keep keep) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_requestCount; ++i) {
            if (keep(m_requests[i])) {
                m_requests[kept++] = m_requests[i];
            }
        }
        m_requestCount = kept;
    }
    // Answers that matched no request (an unasked change, or a reply to something dropped).
    std::size_t UnmatchedAnswers() const { return m_unmatched; }

    // A readable name for a request ("SET-CONTROL DTR on"), for the trace.
    static std::string RequestName(const Request& request);

private:
    enum class State : std::uint8_t { Data, Iac, Verb, Sb, SbOption, SbIac };

    void AddRequest(std::uint8_t command, std::uint32_t value, std::uint64_t tag);
    void OnVerb(std::uint8_t verb, std::uint8_t option, std::string& out);
    void OnSubnegotiation();
    static bool Wanted(std::uint8_t option);

    std::array<Side, 256> m_us{};
    std::array<Side, 256> m_him{};
    bool m_comPortRefused = false;
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    bool m_afterCr = false;  // the last data byte was a CR in non-binary mode
    std::uint8_t m_sbOption = 0;
    std::array<std::uint8_t, kMaxSubnegotiation> m_sb{};
    std::size_t m_sbLength = 0;
    bool m_sbOverlong = false;
    std::array<Request, kMaxRequests> m_requests{};
    std::size_t m_requestCount = 0;
    std::size_t m_unmatched = 0;
};

}  // namespace countryset
