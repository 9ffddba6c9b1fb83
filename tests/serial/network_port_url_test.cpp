#include "serial/network_port_url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace countryset {
namespace {

TEST(NetworkPortUrlTest, ReadsTheTwoFormsAndNothingElse) {
    using K = NetworkPortKind;
    const struct {
        const char* text;
        std::optional<NetworkPortUrl> url;
    } cases[] = {
        {"rfc2217://lab-ts1:7001", NetworkPortUrl{K::Rfc2217, "lab-ts1", 7001}},
        {"socket://192.168.1.20:4001", NetworkPortUrl{K::Raw, "192.168.1.20", 4001}},
        {"RFC2217://Lab.example.org:65535", NetworkPortUrl{K::Rfc2217, "Lab.example.org", 65535}},
        {"socket://[::1]:7", NetworkPortUrl{K::Raw, "::1", 7}},
        {"rfc2217://[fe80::1%eth0]:2217", NetworkPortUrl{K::Rfc2217, "fe80::1%eth0", 2217}},
        {"rfc2217://[2001:db8::10.0.0.1]:1", NetworkPortUrl{K::Rfc2217, "2001:db8::10.0.0.1", 1}},
        // Not the forms: no port, port 0 or too large or signed, empty host, an IPv6 address
        // without brackets, brackets round a name, user, path, query, other schemes, spaces,
        // a host that would read as an option.
        {"rfc2217://lab-ts1", std::nullopt},
        {"rfc2217://lab-ts1:", std::nullopt},
        {"rfc2217://lab-ts1:0", std::nullopt},
        {"rfc2217://lab-ts1:65536", std::nullopt},
        {"rfc2217://lab-ts1:007001", std::nullopt},
        {"rfc2217://lab-ts1:+7001", std::nullopt},
        {"rfc2217://:7001", std::nullopt},
        {"socket://::1:7001", std::nullopt},
        {"socket://[lab]:7001", std::nullopt},
        {"socket://[::1]7001", std::nullopt},
        {"socket://[::1:7001", std::nullopt},
        {"socket://[]:7001", std::nullopt},
        {"socket://user@lab:7001", std::nullopt},
        {"socket://lab:7001/", std::nullopt},
        {"socket://lab:7001?x", std::nullopt},
        {"socket://lab :7001", std::nullopt},
        {"socket://-lab:7001", std::nullopt},
        {"telnet://lab:7001", std::nullopt},
        {"/dev/ttyUSB0", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseNetworkPortUrl(c.text), c.url) << c.text;
    }
    // A malformed URL is still recognised as meant for the network, not as a device path.
    EXPECT_TRUE(IsNetworkPortName("socket://lab"));
    EXPECT_TRUE(IsNetworkPortName("Rfc2217://"));
    EXPECT_FALSE(IsNetworkPortName("/dev/socket://x"));
    EXPECT_FALSE(IsNetworkPortName("COM3"));
}

}  // namespace
}  // namespace countryset
