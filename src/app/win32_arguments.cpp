#include "app/win32_arguments.h"

#include <windows.h>
// After <windows.h>:
#include <shellapi.h>

namespace countryset {

namespace {

bool ToUtf8(const wchar_t* wide, std::string& out) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return false;
    }
    out.assign(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), length, nullptr, nullptr);
    out.pop_back();  // the terminator, which the string keeps on its own
    return true;
}

}  // namespace

Utf8Arguments::Utf8Arguments(int& argc, char**& argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        return;
    }
    m_texts.resize(static_cast<std::size_t>(count));
    bool whole = true;
    for (int i = 0; i < count && whole; ++i) {
        whole = ToUtf8(wide[i], m_texts[static_cast<std::size_t>(i)]);
    }
    ::LocalFree(wide);
    if (!whole) {
        m_texts.clear();
        return;
    }
    for (std::string& text : m_texts) {
        m_pointers.push_back(text.data());
    }
    m_pointers.push_back(nullptr);
    argc = count;
    argv = m_pointers.data();
}

}  // namespace countryset
