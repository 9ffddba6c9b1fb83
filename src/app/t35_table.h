// The country codes of ITU-T T.35 (as AT+GCI takes them), with today's names: for showing a code
// that the settings file does not name, such as the country a modem reads back. Names of states
// that no longer exist say so. A modem's own list (AT+GCI=?) remains the truth for that modem.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace countryset {

struct T35Country {
    std::uint8_t code;
    std::string_view name;
};

// Every assigned code once, in ascending order. 00 is Japan (never "unset"); FF announces an
// extension byte and is no country.
std::span<const T35Country> T35Countries();

// The name of code; nullopt for a code that names no country.
std::optional<std::string_view> T35Name(std::uint8_t code);

// Every code of a name, ignoring case (Germany has two, as has Yemen).
std::vector<std::uint8_t> T35Codes(std::string_view name);

// Two upper-case hex digits, as modems and the settings file spell codes.
std::string T35CodeText(std::uint8_t code);

}  // namespace countryset
