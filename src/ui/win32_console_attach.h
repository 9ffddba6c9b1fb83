// A GUI-subsystem program starts without a console: the standard streams that are not already
// redirected are pointed at the console of the program that started it, or at a new one.
#pragma once

#include <functional>
#include <memory>
#include <streambuf>
#include <string_view>

namespace countryset {

enum class StdStream { kInput, kOutput, kError };

// The system calls an attach makes; tests replace them.
class ConsoleCalls {
public:
    virtual ~ConsoleCalls() = default;
    // Whether the stream's handle leads somewhere: a console, a file, a pipe.
    virtual bool Usable(StdStream stream);
    virtual bool AttachToParent();
    virtual bool Allocate();
    // The stream, its handle and its C and C++ streams, on the console.
    virtual void PointAtConsole(StdStream stream);
    // std::cout and std::cerr, where they reach a console window, write UTF-16 to it.
    virtual void WriteWideToConsoles();
};

// Text for a console window is written as UTF-16, read as the dialog reads settings texts, so
// that no console code page garbles it; redirected output stays bytes.
// False when there is no console to be had and output goes nowhere. Attaching or making a
// console empties its table of control handlers: `attached` runs after it, to put back the
// handler that releases the ports.
bool UseConsoleWindow(ConsoleCalls& calls, const std::function<void()>& attached);
bool UseConsoleWindow(const std::function<void()>& attached);

// Bytes written to it reach `write` as UTF-16 (read as ShownText reads them), a line at a time
// and what is left at each flush, so that the bytes of one character are never cut apart.
std::unique_ptr<std::streambuf> MakeWideLineWriter(std::function<void(std::wstring_view)> write);

}  // namespace countryset
