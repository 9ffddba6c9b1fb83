#include <windows.h>

#include <iostream>
#include <string>

#include "ui/console_input.h"
#include "ui/win32_text.h"

namespace countryset {
namespace {

// A console window is read as UTF-16 (its code page would garble anything but ASCII) and
// handed on as UTF-8; redirected input is read as the bytes it is. ReadFile and ReadConsoleW
// both serve a line at a time, ending in CR LF; a closed pipe or a console closed under us is
// the end.
class ConsoleInput : public std::streambuf {
protected:
    int_type underflow() override {
        if (!std::cout.good()) {
            return traits_type::eof();
        }
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        if (input == nullptr || input == INVALID_HANDLE_VALUE) {
            return traits_type::eof();
        }
        DWORD mode = 0;
        if (::GetConsoleMode(input, &mode)) {
            if (!ReadConsole(input)) {
                return traits_type::eof();
            }
        } else {
            DWORD got = 0;
            m_bytes.resize(256);
            if (!::ReadFile(input, m_bytes.data(), static_cast<DWORD>(m_bytes.size()), &got,
                            nullptr) ||
                got == 0) {
                return traits_type::eof();
            }
            m_bytes.resize(got);
        }
        setg(m_bytes.data(), m_bytes.data(), m_bytes.data() + m_bytes.size());
        return traits_type::to_int_type(m_bytes[0]);
    }

private:
    bool ReadConsole(HANDLE input) {
        m_bytes.clear();
        while (m_bytes.empty()) {
            wchar_t wide[256];
            DWORD got = 0;
            if (!::ReadConsoleW(input, wide, static_cast<DWORD>(std::size(wide)), &got, nullptr) ||
                got == 0) {
                return false;
            }
            std::wstring text = m_carried + std::wstring(wide, got);
            m_carried.clear();
            // A character in two halves whose second half is still to be read.
            if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) {
                m_carried = text.back();
                text.pop_back();
            }
            m_bytes = TypedText(text, false);
        }
        return true;
    }

    std::string m_bytes;
    std::wstring m_carried;
};

}  // namespace

std::unique_ptr<std::streambuf> MakeConsoleInput() {
    return std::make_unique<ConsoleInput>();
}

}  // namespace countryset
