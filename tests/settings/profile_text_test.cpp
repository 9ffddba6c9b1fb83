#include "settings/profile_text.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <random>
#include <string>

namespace countryset {
namespace {

// A settings file as other desktop tools leave it: BOM, CRLF, comments, stray blanks and quotes.
const std::string kWindowsFile =
    "\xEF\xBB\xBF[ Setting ]\r\n"
    "; dialog texts\r\n"
    "  Title =  Country Setting  \r\n"
    "GroupText=\r\n"
    "StaticText=\"  quoted  \"\r\n"
    "title=second\r\n"
    "NumOfCountry=3\r\n"
    "\r\n"
    "[Country]\r\n"
    "France = 22\r\n"
    "; Germany=49\r\n"
    "not an entry  \r\n"
    "Code=a=b\r\n"
    "[setting]\r\n"
    "CurrentCOM=7\r\n";

std::string ReadText(std::string_view text, std::string_view section, std::string_view key) {
    char buffer[256];
    ReadProfileString(text, section, key, "DEF", buffer, sizeof buffer);
    return buffer;
}

TEST(ProfileTextRead, FollowsTheConventionsOfWindowsFiles) {
    EXPECT_EQ(ReadText(kWindowsFile, "setting", "TITLE"), "Country Setting");
    EXPECT_EQ(ReadText(kWindowsFile, "Setting", "GroupText"), "");  // empty, not the default
    EXPECT_EQ(ReadText(kWindowsFile, "Setting", "StaticText"), "  quoted  ");
    EXPECT_EQ(ReadText(kWindowsFile, "Setting", "Missing"), "DEF");
    EXPECT_EQ(ReadText(kWindowsFile, "Nowhere", "Title"), "DEF");
    EXPECT_EQ(ReadText("", "Setting", "Title"), "DEF");
    // Only the first section of a name counts.
    EXPECT_EQ(ReadProfileInt(kWindowsFile, "Setting", "CurrentCOM", 1), 1);
    EXPECT_EQ(ReadProfileInt(kWindowsFile, "Setting", "NumOfCountry", 0), 3);
    // Comments are not entries, and a value never carries a line-break byte.
    EXPECT_EQ(ReadText(kWindowsFile, "Country", "; Germany"), "DEF");
    EXPECT_EQ(ReadText("[A]\rk=v\rj=w", "A", "k"), "v");
    EXPECT_EQ(ReadText("[A]\nk=v\r\r\n", "A", "k"), "v");
}

TEST(ProfileTextRead, TextIsCutToTheBufferAndNothingPastItIsTouched) {
    const std::string file = "[S]\r\nK=" + std::string(300, 'x') + "\r\n";
    std::array<char, 260> guarded;
    guarded.fill('#');
    EXPECT_EQ(ReadProfileString(file, "S", "K", "", guarded.data(), 256), 255u);
    EXPECT_EQ(std::strlen(guarded.data()), 255u);
    EXPECT_EQ(std::string(guarded.data() + 256, 4), "####");

    guarded.fill('#');
    EXPECT_EQ(ReadProfileString(file, "S", "K", "", guarded.data(), 0), 0u);
    EXPECT_EQ(guarded[0], '#');
    EXPECT_EQ(ReadProfileString(file, "S", "K", "", guarded.data(), 1), 0u);
    EXPECT_EQ(guarded[0], '\0');
    EXPECT_EQ(guarded[1], '#');
}

TEST(ProfileTextRead, IntegersTakeSignBlanksAndClampToThirtyTwoBits) {
    struct Case {
        const char* value;
        int expected;
    };
    const Case cases[] = {
        {"42", 42},
        {"  -7", -7},
        {"+3", 3},
        {"12abc", 12},
        {"abc", -99},
        {"", -99},
        {"- 5", -99},
        {"\"8\"", 8},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        const std::string file = std::string("[S]\nN=") + c.value + "\n";
        EXPECT_EQ(ReadProfileInt(file, "S", "N", -99), c.expected) << c.value;
    }
}

TEST(ProfileTextSection, ListsTrimmedEntriesAndStrayLinesInFileOrder) {
    char buffer[1024];
    const std::uint32_t n = ReadProfileSection(kWindowsFile, "COUNTRY", buffer, sizeof buffer);
    const char expected[] = "France=22\0not an entry\0Code=a=b\0";
    ASSERT_EQ(n, sizeof expected - 1);
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof expected), 0);

    EXPECT_EQ(ReadProfileSection(kWindowsFile, "Nowhere", buffer, sizeof buffer), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(ProfileTextSection, CutListStillEndsWithTwoZerosWithinEverySize) {
    const std::vector<std::string> entries = {"ab=1", "cd=22"};
    const std::string full("ab=1\0cd=22\0\0", 12);
    for (std::uint32_t size = 0; size <= 14; ++size) {
        std::array<char, 20> guarded;
        guarded.fill('#');
        const std::uint32_t n = CopyProfileSection(entries, guarded.data(), size);
        for (std::size_t i = size; i < guarded.size(); ++i) {
            ASSERT_EQ(guarded[i], '#') << "size " << size << " byte " << i;
        }
        if (size >= full.size()) {
            EXPECT_EQ(std::string(guarded.data(), full.size()), full);
            EXPECT_EQ(n, 11u);
        } else if (size >= 2) {
            EXPECT_EQ(guarded[size - 1], '\0') << size;
            EXPECT_EQ(guarded[size - 2], '\0') << size;
            EXPECT_EQ(std::memcmp(guarded.data(), full.data(), size - 2), 0) << size;
            EXPECT_EQ(n, size - 1);
        } else if (size == 1) {
            EXPECT_EQ(guarded[0], '\0');
        }
    }
}

TEST(ProfileTextWrite, ChangesOnlyTheValueBytes) {
    const std::string file = "[Setting]\r\n; last choice\r\nCurrentSet = 1  \r\nCurrentCOM=\r\n";
    std::optional<std::string> out = WriteProfileValue(file, "SETTING", "currentset", "12");
    ASSERT_TRUE(out);
    out = WriteProfileValue(*out, "Setting", "CurrentCOM", "3");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "[Setting]\r\n; last choice\r\nCurrentSet = 12  \r\nCurrentCOM=3\r\n");
}

TEST(ProfileTextWrite, AddsKeysAfterTheLastEntryAndSectionsAtTheEnd) {
    const std::string crlf = "[Setting]\r\nTitle=T\r\n\r\n; countries\r\n[Country]\r\nA=1";
    EXPECT_EQ(WriteProfileValue(crlf, "Setting", "CurrentSet", "2"),
              "[Setting]\r\nTitle=T\r\nCurrentSet=2\r\n\r\n; countries\r\n[Country]\r\nA=1");
    EXPECT_EQ(WriteProfileValue(crlf, "Country", "B", "2"),
              "[Setting]\r\nTitle=T\r\n\r\n; countries\r\n[Country]\r\nA=1\r\nB=2");
    EXPECT_EQ(WriteProfileValue(crlf, "Ports", "COM1", "/dev/x"),
              crlf + "\r\n[Ports]\r\nCOM1=/dev/x\r\n");
    EXPECT_EQ(WriteProfileValue("[S]\n; only a comment\n", "S", "K", "v"),
              "[S]\nK=v\n; only a comment\n");
    EXPECT_EQ(WriteProfileValue("", "Setting", "CurrentSet", "0"), "[Setting]\r\nCurrentSet=0\r\n");
    EXPECT_EQ(WriteProfileValue("\xEF\xBB\xBF", "S", "K", "v"), "\xEF\xBB\xBF[S]\r\nK=v\r\n");
}

TEST(ProfileTextWrite, RefusesWhatWouldCorruptTheFile) {
    const std::string file = "[S]\nK=1\n";
    EXPECT_FALSE(WriteProfileValue(file, "S", "K", "1\n[Evil]"));
    EXPECT_FALSE(WriteProfileValue(file, "S", "K", std::string("1\0", 2)));
    EXPECT_FALSE(WriteProfileValue(file, "S", "A=B", "1"));
    EXPECT_FALSE(WriteProfileValue(file, "S", "[T]", "1"));
    EXPECT_FALSE(WriteProfileValue(file, "S", "  ", "1"));
    EXPECT_FALSE(WriteProfileValue(file, "S\r", "K", "1"));
    EXPECT_FALSE(WriteProfileValue(file, "", "K", "1"));
}

// Arbitrary bytes: nothing crashes, nothing is written past a buffer, and a key that was written
// reads back.
TEST(ProfileTextWrite, ArbitraryBytesParseSafelyAndWritesReadBack) {
    std::mt19937 random(20240611);
    const char alphabet[] =
        "[]=;\" \t\r\n\0\xEF\xBB\xBF"
        "SKsk";
    for (int round = 0; round < 2000; ++round) {
        std::string text(random() % 64, ' ');
        for (char& c : text) {
            c = alphabet[random() % (sizeof alphabet - 1)];
        }
        std::array<char, 24> guarded;
        for (std::uint32_t size : {0u, 1u, 2u, 3u, 16u}) {
            guarded.fill('#');
            ReadProfileSection(text, "S", guarded.data(), size);
            ReadProfileString(text, "S", "K", "default", guarded.data() + 4, size);
            ASSERT_EQ(std::string(guarded.data() + 20, 4), "####");
        }
        const std::optional<std::string> written = WriteProfileValue(text, "S", "K", "value");
        ASSERT_TRUE(written);
        ASSERT_EQ(ReadText(*written, "S", "K"), "value") << "round " << round;
    }
}

}  // namespace
}  // namespace countryset
