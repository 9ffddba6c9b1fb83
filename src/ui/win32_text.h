// Settings texts are bytes; the system's windows and console take UTF-16. These decide how the
// bytes are shown and how what the operator typed goes back to bytes.
#pragma once

#include <string>
#include <string_view>

namespace countryset {

// Shown as UTF-8 when the whole text is well-formed UTF-8, otherwise in the system's ANSI code
// page, as the single-byte programs that wrote such files showed them.
std::wstring ShownText(std::string_view bytes);
// What the operator typed, back as bytes: in the ANSI code page when ansi (the texts it is
// matched against are shown that way), otherwise UTF-8.
std::string TypedText(const std::wstring& typed, bool ansi);
// Whether text would be shown through the ANSI code page.
bool ShownAsAnsi(std::string_view bytes);

}  // namespace countryset
