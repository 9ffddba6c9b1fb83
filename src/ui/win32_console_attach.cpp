#include "ui/win32_console_attach.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include "ui/win32_text.h"

#include <windows.h>

namespace countryset {

namespace {

DWORD HandleName(StdStream stream) {
    switch (stream) {
        case StdStream::kInput:
            return STD_INPUT_HANDLE;
        case StdStream::kOutput:
            return STD_OUTPUT_HANDLE;
        case StdStream::kError:
            break;
    }
    return STD_ERROR_HANDLE;
}

void Reopen(DWORD which, const wchar_t* device, FILE* stream, const wchar_t* mode) {
    const HANDLE h =
        ::CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    ::SetStdHandle(which, h);
    FILE* reopened = nullptr;
    static_cast<void>(::_wfreopen_s(&reopened, device, mode, stream));
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

// Whole lines at a time, so that the bytes of one character are converted together.
class WideLineWriter : public std::streambuf {
public:
    explicit WideLineWriter(std::function<void(std::wstring_view)> write)
        : m_write(std::move(write)) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        m_pending.append(text, static_cast<std::size_t>(n));
        const std::size_t lineEnd = m_pending.rfind('\n');
        if (lineEnd != std::string::npos) {
            Write(lineEnd + 1);
        } else if (m_pending.size() > kMaxPending) {
            Write(m_pending.size());
        }
        return n;
    }
    int sync() override {
        Write(m_pending.size());
        return 0;
    }

private:
    static constexpr std::size_t kMaxPending = 65536;

    void Write(std::size_t count) {
        const std::wstring wide = ShownText(std::string_view(m_pending).substr(0, count));
        m_pending.erase(0, count);
        if (!wide.empty()) {
            m_write(wide);
        }
    }

    std::function<void(std::wstring_view)> m_write;
    std::string m_pending;
};

void WriteToConsole(HANDLE console, std::wstring_view wide) {
    for (std::size_t done = 0; done < wide.size();) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
        if (!::WriteConsoleW(console, wide.data() + done, chunk, &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

void WriteWideIfConsole(DWORD which, std::ostream& stream) {
    const HANDLE handle = ::GetStdHandle(which);
    if (IsConsole(handle)) {
        stream.flush();
        // Never freed: the streams flush through it until the very end of the process.
        stream.rdbuf(MakeWideLineWriter([handle](std::wstring_view wide) {
                         WriteToConsole(handle, wide);
                     }).release());
    }
}

}  // namespace

std::unique_ptr<std::streambuf> MakeWideLineWriter(std::function<void(std::wstring_view)> write) {
    return std::make_unique<WideLineWriter>(std::move(write));
}

void ConsoleCalls::WriteWideToConsoles() {
    WriteWideIfConsole(STD_OUTPUT_HANDLE, std::cout);
    WriteWideIfConsole(STD_ERROR_HANDLE, std::cerr);
}

bool ConsoleCalls::Usable(StdStream stream) {
    const HANDLE h = ::GetStdHandle(HandleName(stream));
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
}

bool ConsoleCalls::AttachToParent() {
    return ::AttachConsole(ATTACH_PARENT_PROCESS) != FALSE;
}

bool ConsoleCalls::Allocate() {
    return ::AllocConsole() != FALSE;
}

void ConsoleCalls::PointAtConsole(StdStream stream) {
    switch (stream) {
        case StdStream::kInput:
            Reopen(STD_INPUT_HANDLE, L"CONIN$", stdin, L"r");
            std::cin.clear();
            break;
        case StdStream::kOutput:
            Reopen(STD_OUTPUT_HANDLE, L"CONOUT$", stdout, L"w");
            std::cout.clear();
            break;
        case StdStream::kError:
            Reopen(STD_ERROR_HANDLE, L"CONOUT$", stderr, L"w");
            std::cerr.clear();
            break;
    }
}

bool UseConsoleWindow(ConsoleCalls& calls, const std::function<void()>& attached) {
    const bool in = calls.Usable(StdStream::kInput);
    const bool out = calls.Usable(StdStream::kOutput);
    const bool err = calls.Usable(StdStream::kError);
    if (in && out && err) {
        calls.WriteWideToConsoles();
        return true;  // a console program's streams, or all of them redirected
    }
    if (!calls.AttachToParent() && !calls.Allocate()) {
        return out;
    }
    if (attached) {
        attached();
    }
    for (const auto& [usable, stream] :
         {std::pair{in, StdStream::kInput}, {out, StdStream::kOutput}, {err, StdStream::kError}}) {
        if (!usable) {
            calls.PointAtConsole(stream);
        }
    }
    calls.WriteWideToConsoles();
    return true;
}

bool UseConsoleWindow(const std::function<void()>& attached) {
    ConsoleCalls system;
    return UseConsoleWindow(system, attached);
}

}  // namespace countryset
