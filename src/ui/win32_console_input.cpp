#include <windows.h>

#include <iostream>

#include "ui/console_input.h"

namespace countryset {
namespace {

// ReadFile serves a console window (line by line, in the console's code page, lines ending in
// CR LF) and redirected input alike; a closed pipe or a console closed under us is the end.
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
        DWORD got = 0;
        if (!::ReadFile(input, m_buffer, sizeof m_buffer, &got, nullptr) || got == 0) {
            return traits_type::eof();
        }
        setg(m_buffer, m_buffer, m_buffer + got);
        return traits_type::to_int_type(m_buffer[0]);
    }

private:
    char m_buffer[256];
};

}  // namespace

std::unique_ptr<std::streambuf> MakeConsoleInput() {
    return std::make_unique<ConsoleInput>();
}

}  // namespace countryset
