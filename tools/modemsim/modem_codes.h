// The simulated modem's codes and texts: its own list of countries, hex digits, the supported-set
// notation of +GCI=?, and the escapes of its command-line arguments.
#pragma once

#include <bitset>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace countryset {

inline constexpr std::uint8_t kDefaultCountry = 0xB5;

// The countries +GCI= takes and +GCI=? reports by default, ascending.
std::span<const std::uint8_t> DefaultSupportedCodes();

// Two upper-case hex digits.
std::string Hex2(std::uint8_t value);
// A hex digit's value in either case; -1 for any other byte.
int HexDigit(char c);
// The bytes with \r, \n, \\ and other control or non-ASCII bytes escaped, for a transcript.
std::string Escaped(std::string_view bytes);

// The codes of a supported-set text ("(07,3D)", "(00-FF)", "(00-0F,B5)"); false when it does
// not read as one.
bool ParseSupportedSet(std::string_view text, std::bitset<256>& codes);

// C-style escapes (\r \n \t \\ \xHH) of a command-line argument.
std::string UnescapeArgument(std::string_view text);

}  // namespace countryset
