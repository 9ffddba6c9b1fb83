// The country queries' answers as modems give them, and the ones that must not be guessed at.
#include <gtest/gtest.h>

#include "app/gci_reply.h"

namespace countryset {
namespace {

using Kind = GciReply::Kind;

constexpr const char* kQuery = "AT+GCI?\r";
constexpr const char* kTest = "AT+GCI=?\r";

TEST(GciReplyTest, CurrentCountryAnswers) {
    struct Case {
        const char* reply;
        Kind kind;
        int code;
    };
    const Case cases[] = {
        {"AT+GCI?\r\r\n+GCI: B5\r\n\r\nOK\r\n", Kind::Answered, 0xB5},
        {"\r\n+GCI:b5\r\n\r\nOK\r\n", Kind::Answered, 0xB5},  // no echo, no space, lower case
        {"AT+GCI?\r\r\n+gci:   7\r\n\r\nOK\r\n", Kind::Answered, 0x07},
        {"+GCI: 3D\r\n0\r", Kind::Answered, 0x3D},  // numeric result codes
        {"AT+GCI?\r\r\nERROR\r\n", Kind::Refused, 0},
        {"", Kind::Unreadable, 0},
        {"AT+GCI?\r", Kind::Unreadable, 0},
        {"AT+GCI?\r\r\n+GCI: B5\r\n", Kind::Unreadable, 0},             // cut before OK
        {"AT+GCI?\r\r\n+GCI: 1B5\r\n\r\nOK\r\n", Kind::Unreadable, 0},  // three digits
        {"AT+GCI?\r\r\n+GCI: zz\r\n\r\nOK\r\n", Kind::Unreadable, 0},
        {"AT+GCI?\r\r\n+GCI:\r\n\r\nOK\r\n", Kind::Unreadable, 0},
        {"AT+GCI?\r\r\nOK\r\n", Kind::Unreadable, 0},  // OK alone
        {"AT+GCI?\r\r\n+GCX: B5\r\n\r\nOK\r\n", Kind::Unreadable, 0},
        {"AT+GCI?\r\r\n+GCI: B5\r\n+GCI: 42\r\n\r\nOK\r\n", Kind::Unreadable, 0},
    };
    for (const Case& c : cases) {
        const GciReply parsed = ParseCurrentCountry(c.reply, kQuery);
        EXPECT_EQ(parsed.kind, c.kind) << c.reply;
        if (c.kind == Kind::Answered) {
            EXPECT_EQ(parsed.current, c.code) << c.reply;
        } else if (c.kind == Kind::Unreadable) {
            EXPECT_FALSE(parsed.problem.empty()) << c.reply;
        }
    }
}

TEST(GciReplyTest, SupportedCountriesAsListsRangesOrBoth) {
    struct Case {
        const char* set;
        std::size_t count;
        std::vector<int> some;
    };
    const Case answered[] = {
        {"(00,07,B5)", 3, {0x00, 0x07, 0xB5}},
        {"(00-FF)", 256, {0x00, 0x80, 0xFF}},
        {"(07, 3d-3F ,b5)", 5, {0x07, 0x3D, 0x3E, 0x3F, 0xB5}},
        {"(42-42)", 1, {0x42}},
        {"()", 0, {}},
    };
    for (const Case& c : answered) {
        const std::string reply = std::string(kTest) + "\r\n+GCI: " + c.set + "\r\n\r\nOK\r\n";
        const GciReply parsed = ParseSupportedCountries(reply, kTest);
        ASSERT_EQ(parsed.kind, Kind::Answered) << c.set << parsed.problem;
        EXPECT_EQ(parsed.supported.count(), c.count) << c.set;
        for (int code : c.some) {
            EXPECT_TRUE(parsed.supported.test(static_cast<std::size_t>(code))) << c.set << code;
        }
    }
    for (const char* bad :
         {"00,07", "(07,)", "(,07)", "(3F-3D)", "(0G)", "(100)", "(07;B5)", "(07-)", "(00-FF"}) {
        const std::string reply = std::string(kTest) + "\r\n+GCI: " + bad + "\r\n\r\nOK\r\n";
        EXPECT_EQ(ParseSupportedCountries(reply, kTest).kind, Kind::Unreadable) << bad;
    }
    EXPECT_EQ(ParseSupportedCountries("AT+GCI=?\r\r\nERROR\r\n", kTest).kind, Kind::Refused);
}

}  // namespace
}  // namespace countryset
