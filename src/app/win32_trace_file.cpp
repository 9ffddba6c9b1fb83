#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "app/trace_file.h"

namespace countryset::trace_file {

namespace {

std::filesystem::path FromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Why the existing file at path may not take the trace; empty when it may.
std::string Refused(const std::string& path, const std::vector<std::string>& untouchable) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(FromUtf8(path), error);
    if (error || !std::filesystem::exists(status)) {
        return {};
    }
    if (std::filesystem::is_symlink(status)) {
        return "it is a symbolic link";
    }
    if (!std::filesystem::is_regular_file(status)) {
        return "it is not a regular file";
    }
    for (const std::string& own : untouchable) {
        if (std::filesystem::equivalent(FromUtf8(path), FromUtf8(own), error) && !error) {
            return "it is one of the program's own files";
        }
    }
    return {};
}

}  // namespace

std::string CheckPath(const std::string& path, const std::vector<std::string>& untouchable) {
    return Refused(path, untouchable);
}

std::FILE* OpenForAppend(const std::string& path, const std::vector<std::string>& untouchable,
                         bool* empty, std::string* problem) {
    *problem = Refused(path, untouchable);
    if (!problem->empty()) {
        return nullptr;
    }
    std::FILE* file = _wfopen(FromUtf8(path).c_str(), L"ab");
    if (file == nullptr) {
        *problem = "it cannot be opened for writing";
        return nullptr;
    }
    *empty = std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0;
    return file;
}

bool AppendWhole(std::FILE* file, std::string_view text) {
    // The descriptor was opened for appending: each write goes to the end of the file.
    const int fd = _fileno(file);
    while (!text.empty()) {
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(text.size(), 1u << 30));
        const int written = _write(fd, text.data(), chunk);
        if (written < 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

namespace {

HANDLE HandleOf(std::FILE* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// The lock's byte lies far beyond any data: the system's locks keep every other handle from
// the bytes they cover, and a plain append must never meet it.
OVERLAPPED LockMark() {
    OVERLAPPED mark{};
    mark.Offset = 0xFFFFFFFE;
    mark.OffsetHigh = 0x7FFFFFFF;
    return mark;
}

}  // namespace

bool LockAppends(std::FILE* file, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        OVERLAPPED mark = LockMark();
        if (::LockFileEx(HandleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                         0, &mark)) {
            return true;
        }
        if (::GetLastError() != ERROR_LOCK_VIOLATION ||
            std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void UnlockAppends(std::FILE* file) {
    OVERLAPPED mark = LockMark();
    ::UnlockFileEx(HandleOf(file), 0, 1, 0, &mark);
}

bool IsEmpty(std::FILE* file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(HandleOf(file), &size) && size.QuadPart == 0;
}

}  // namespace countryset::trace_file
