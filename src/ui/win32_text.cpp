#include "ui/win32_text.h"

#include <algorithm>

#include "ui/shown_text.h"

#include <windows.h>

namespace countryset {

bool ShownAsAnsi(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        if (static_cast<unsigned char>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        const std::size_t n = Utf8SequenceAt(bytes, at);
        if (n == 0) {
            return true;
        }
        at += n;
    }
    return false;
}

std::wstring ShownText(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    const UINT codePage = ShownAsAnsi(bytes) ? CP_ACP : CP_UTF8;
    const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), 0x7FFFFFFF));
    const int length = ::MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0) {
        ::MultiByteToWideChar(codePage, 0, bytes.data(), size, out.data(), length);
    }
    return out;
}

std::string TypedText(const std::wstring& typed, bool ansi) {
    if (typed.empty()) {
        return {};
    }
    const UINT codePage = ansi ? CP_ACP : CP_UTF8;
    // No best fit: a letter the code page lacks must not turn into a look-alike that matches
    // another item.
    const DWORD flags = ansi ? WC_NO_BEST_FIT_CHARS : 0;
    const int size = static_cast<int>(std::min<std::size_t>(typed.size(), 0x7FFFFFFF));
    const int length =
        ::WideCharToMultiByte(codePage, flags, typed.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length > 0) {
        ::WideCharToMultiByte(codePage, flags, typed.data(), size, out.data(), length, nullptr,
                              nullptr);
    }
    return out;
}

}  // namespace countryset
