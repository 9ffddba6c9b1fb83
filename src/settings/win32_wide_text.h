// Paths are UTF-8 inside the program and UTF-16 at the system's wide-character calls.
// For the settings layer's Windows files only: it brings in <windows.h>.
#pragma once

#include <windows.h>
// The private-profile operations' own names; ours are members of PrivateProfile.
#undef GetPrivateProfileInt
#undef GetPrivateProfileString
#undef GetPrivateProfileSection
#undef WritePrivateProfileString

#include <optional>
#include <string>
#include <string_view>

namespace countryset::win32 {

// Nothing when text is not valid UTF-8: a path the program cannot name must not be guessed at.
inline std::optional<std::wstring> Widen(std::string_view text) {
    if (text.empty()) {
        return std::wstring();
    }
    if (text.size() > 0x7fffffff) {
        return std::nullopt;
    }
    const int size = static_cast<int>(text.size());
    const int n =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n) !=
        n) {
        return std::nullopt;
    }
    return wide;
}

// Nothing when text holds a lone surrogate, which no UTF-8 text can stand for.
inline std::optional<std::string> Narrow(std::wstring_view text) {
    if (text.empty()) {
        return std::string();
    }
    if (text.size() > 0x7fffffff) {
        return std::nullopt;
    }
    const int size = static_cast<int>(text.size());
    const int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, nullptr,
                                        0, nullptr, nullptr);
    if (n <= 0) {
        return std::nullopt;
    }
    std::string narrow(static_cast<std::size_t>(n), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, narrow.data(), n,
                              nullptr, nullptr) != n) {
        return std::nullopt;
    }
    return narrow;
}

}  // namespace countryset::win32
