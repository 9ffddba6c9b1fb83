// Ports reached over the network: `rfc2217://HOST:PORT` (Telnet with the Com Port Control
// option) and `socket://HOST:PORT` (raw TCP, bytes as they are). HOST is a name, an IPv4
// address, or an IPv6 address in brackets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace countryset {

enum class NetworkPortKind { Rfc2217, Raw };

struct NetworkPortUrl {
    NetworkPortKind kind = NetworkPortKind::Raw;
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;

    bool operator==(const NetworkPortUrl&) const = default;
};

// True when the text names a network port by its scheme, well formed or not, so that a
// mistyped URL is reported as one rather than looked up as a device file.
bool IsNetworkPortName(std::string_view text);

// The URL's parts; nothing when it is not one of the two forms exactly (no user, path, query,
// port 0 or beyond 65535, unbracketed IPv6).
std::optional<NetworkPortUrl> ParseNetworkPortUrl(std::string_view text);

}  // namespace countryset
