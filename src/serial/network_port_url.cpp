#include "serial/network_port_url.h"

#include <cctype>

namespace countryset {

namespace {

constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr std::string_view kRawScheme = "socket://";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.') {
        return false;
    }
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') {
            return false;
        }
    }
    return true;
}

bool IsIpv6(std::string_view host) {
    // An address with an optional zone ("fe80::1%eth0"); the system's parser has the last word.
    const std::size_t zone = host.find('%');
    const std::string_view address = host.substr(0, zone);
    if (address.size() < 2 || address.find(':') == std::string_view::npos) {
        return false;
    }
    for (char c : address) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') {
            return false;
        }
    }
    if (zone == std::string_view::npos) {
        return true;
    }
    const std::string_view name = host.substr(zone + 1);
    return !name.empty() && IsHostName(name);
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    std::uint32_t port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

}  // namespace

bool IsNetworkPortName(std::string_view text) {
    return StartsWithNoCase(text, kRfc2217Scheme) || StartsWithNoCase(text, kRawScheme);
}

std::optional<NetworkPortUrl> ParseNetworkPortUrl(std::string_view text) {
    NetworkPortUrl url;
    std::string_view rest;
    if (StartsWithNoCase(text, kRfc2217Scheme)) {
        url.kind = NetworkPortKind::Rfc2217;
        rest = text.substr(kRfc2217Scheme.size());
    } else if (StartsWithNoCase(text, kRawScheme)) {
        url.kind = NetworkPortKind::Raw;
        rest = text.substr(kRawScheme.size());
    } else {
        return std::nullopt;
    }
    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
        if (!IsIpv6(host)) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (!IsHostName(host)) {
            return std::nullopt;
        }
    }
    const auto number = ParsePort(port);
    if (!number) {
        return std::nullopt;
    }
    url.host = std::string(host);
    url.port = *number;
    return url;
}

}  // namespace countryset
