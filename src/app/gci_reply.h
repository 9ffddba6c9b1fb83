// The modem's answers to the country queries, AT+GCI? and AT+GCI=?, read as modems give them:
// "+GCI:" with or without a space, hex digits in either case, the supported set as a list, as
// ranges ("(00-FF)") or both. What does not read that way is reported, never guessed at.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

namespace countryset {

struct GciReply {
    enum class Kind { Answered, Refused, Unreadable };
    Kind kind = Kind::Unreadable;
    std::string problem;         // for Unreadable: what did not read
    std::uint8_t current = 0;    // AT+GCI?: the country now set
    std::bitset<256> supported;  // AT+GCI=?: the countries the modem takes
};

// reply: every byte collected after the command was sent, its echo included when there is one.
GciReply ParseCurrentCountry(std::string_view reply, std::string_view command);
GciReply ParseSupportedCountries(std::string_view reply, std::string_view command);

// Whether reply holds a whole answer: it ends with a final result code.
bool EndsWithFinalResult(std::string_view reply);

// The code as a country table holds it ("42", "b5", "7"); false for text that is no code.
bool ParseCountryCode(std::string_view text, std::uint8_t& code);

}  // namespace countryset
