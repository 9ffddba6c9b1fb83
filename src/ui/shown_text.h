// Texts from the settings file on their way to a terminal or into a fixed-size field: cut without
// splitting a UTF-8 character, and shown with their control characters made visible. The stored
// text keeps its bytes; only what is shown changes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace countryset {

// The length of the well-formed UTF-8 sequence of two to four bytes that starts at text[at]
// (no overlong forms, no surrogates, nothing past U+10FFFF); 0 when none starts there. *code
// receives its code point.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at, char32_t* code = nullptr);

// The longest length up to limit that does not end inside a UTF-8 character of text. Bytes that
// are not UTF-8 (single-byte text) count one each, so such text is cut at limit as before.
std::size_t CutWithoutSplitting(std::string_view text, std::size_t limit);

// text as a terminal may print it: C0 controls and DEL in caret notation ("^[", "^?"), C1
// controls, as single bytes or as UTF-8, as "M-^[" and the like; line feeds only when
// keepLineFeeds. Every other byte, UTF-8 letters included, stays as it is.
std::string VisibleText(std::string_view text, bool keepLineFeeds = false);

}  // namespace countryset
