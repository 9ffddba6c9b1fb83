// Private-profile text as pure functions over bytes: the text of a settings file in, results
// out. Both ProfileFile and MemoryProfile go through these, so a file on disk and a file in a
// test's memory parse and write back alike. A missing file reads like the empty text.
//
// Layout, as settings files written on other desktops have it: lines end in CRLF, LF or a lone CR;
// a UTF-8 byte-order mark at the start is ignored; a line whose first non-blank is ";" is a
// comment; "[name]" opens a section; "key=value" inside a section is an entry. Blanks around
// section names, keys and values are ignored, names match without regard to case, and the
// first section and the first key of a name win. A section's name ends at the first "]".
//
// Every read is one pass over the text and allocates nothing per line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "settings/private_profile.h"

namespace countryset {

// The value of the key as a text read returns it (trimmed, one pair of surrounding double quotes
// stripped), or nothing when the section or key is missing.
std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section,
                                                 std::string_view key);

// A decimal integer with an optional sign after optional blanks; def when there are no digits.
int ParseProfileInt(std::string_view value, int def);

// The section's lines in file order, "key=value" with key and value trimmed; lines without "="
// trimmed as they stand. Comments and blank lines are left out.
std::vector<std::string> ProfileSectionEntries(std::string_view text, std::string_view section);

// Copies value into buffer, cut to size - 1 characters and zero-terminated. Writes nothing when
// size is 0. Returns the characters copied.
std::uint32_t CopyProfileText(std::string_view value, char* buffer, std::uint32_t size);

// Lays entries out as "entry\0entry\0...\0" within size bytes; the entry that does not fit is
// cut and the list still ends with two zero bytes, the buffer's last two (one when size is 1,
// none when 0). Returns the offset of the zero that ends the list: size - 1 when cut, and also
// when whole entries fill the buffer exactly, so *cut (when given) tells whether the last entry
// in the buffer is a cut one.
std::uint32_t CopyProfileSection(const std::vector<std::string>& entries, char* buffer,
                                 std::uint32_t size, bool* cut = nullptr);

// The four operations over a file's text.
int ReadProfileInt(std::string_view text, std::string_view section, std::string_view key, int def);
std::uint32_t ReadProfileString(std::string_view text, std::string_view section,
                                std::string_view key, std::string_view def, char* buffer,
                                std::uint32_t size);
std::uint32_t ReadProfileSection(std::string_view text, std::string_view section, char* buffer,
                                 std::uint32_t size, bool* cut = nullptr);
// The text with the key set, every other byte unchanged; nothing when section, key or value
// could not be written without corrupting the file (line breaks or NUL bytes anywhere, an empty
// name, "]" in the section's name, "=" in the key, a key that would read back as a section or a
// comment).
std::optional<std::string> WriteProfileValue(std::string_view text, std::string_view section,
                                             std::string_view key, std::string_view value);

// The text with every key of the list set, as WriteProfileValue would set them one after the
// other; nothing when any of them could not be written, or a key is named twice.
std::optional<std::string> WriteProfileValues(std::string_view text, std::string_view section,
                                              std::span<const ProfileKeyText> keys);

}  // namespace countryset
