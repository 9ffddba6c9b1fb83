#include "settings/profile_text.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <string>

namespace countryset {
namespace {

TEST(ProfileTextRead, IntegersTakeSignBlanksAndClampToThirtyTwoBits) {
    const std::string huge = "18446744073709551617";  // 2^64 + 1, past 64 bits too
    const std::string values[] = {"  -7",       "+3",  "12abc",       "abc",
                                  "",           "- 5", "\"8\"",       "2147483647",
                                  "2147483648", huge,  "-2147483648", "-" + huge};
    const int expected[] = {-7, 3,       12,      -99,     -99,     -99,
                            8,  INT_MAX, INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        const std::string file = "[S]\nN=" + values[i] + "\n";
        EXPECT_EQ(ReadProfileInt(file, "S", "N", -99), expected[i]) << values[i];
    }
}

// Reads are cut to the buffer and end in their zero(s) inside it; no byte past it is touched.
TEST(ProfileTextRead, CutReadsEndInZerosWithinTheBuffer) {
    const std::string file = "[S]\r\nK=" + std::string(300, 'x') + "\r\n";
    for (const std::uint32_t size : {256u, 1u, 0u}) {
        SCOPED_TRACE(size);
        std::array<char, 260> guarded;
        guarded.fill('#');
        EXPECT_EQ(ReadProfileString(file, "S", "K", "", guarded.data(), size),
                  size == 0 ? 0 : size - 1);
        EXPECT_EQ(std::string(guarded.data(), size),
                  size == 0 ? "" : std::string(size - 1, 'x') + '\0');
        EXPECT_EQ(guarded[size], '#');
    }
    const std::string full("ab=1\0cd=22\0\0", 12);
    for (std::uint32_t size = 0; size <= 14; ++size) {
        SCOPED_TRACE(size);
        std::array<char, 20> guarded;
        guarded.fill('#');
        const std::uint32_t n = CopyProfileSection({"ab=1", "cd=22"}, guarded.data(), size);
        const bool cut = size < full.size();
        EXPECT_EQ(n, cut ? std::max(size, 1u) - 1 : 11u);
        const std::string expected = !cut       ? full
                                     : size < 2 ? std::string(size, '\0')
                                                : full.substr(0, size - 2) + '\0' + '\0';
        EXPECT_EQ(std::string(guarded.data(), expected.size()), expected);
        EXPECT_EQ(std::string(guarded.data() + size, 20 - size), std::string(20 - size, '#'));
    }
}

TEST(ProfileTextWrite, AddsKeysWhereTheEntriesEndAndRefusesWhatWouldCorruptTheFile) {
    const std::string crlf = "[Setting]\r\nTitle=T\r\n\r\n; countries\r\n[Country]\r\nA=1";
    const std::array<std::string, 4> cases[] = {
        {crlf, "Country", "B", crlf + "\r\nB=12"},
        {crlf, "Ports", "COM1", crlf + "\r\n[Ports]\r\nCOM1=12\r\n"},
        {"[S]\n; only a comment\n", "S", "K", "[S]\nK=12\n; only a comment\n"},
        {"\xEF\xBB\xBF", "S", "K", "\xEF\xBB\xBF[S]\r\nK=12\r\n"}};
    for (const auto& [text, section, key, expected] : cases) {
        EXPECT_EQ(WriteProfileValue(text, section, key, "12"), expected) << text << key;
    }
    const std::array<std::string, 3> corrupting[] = {
        {"S", "K", "1\n[Evil]"}, {"S", "K", std::string("1\0", 2)},
        {"S", "A=B", "1"},       {"S", "[T]", "1"},
        {"S", "  ", "1"},        {"S\r", "K", "1"},
        {"", "K", "1"}};
    for (const auto& [section, key, value] : corrupting) {
        EXPECT_FALSE(WriteProfileValue("[S]\nK=1\n", section, key, value)) << section << key;
    }
}

}  // namespace
}  // namespace countryset
