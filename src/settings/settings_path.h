// Where the settings file lies: beside the executable, named like it with the extension ".DAT".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace countryset {

// The program-wide settings path buffer: at most 255 characters and the terminating zero.
inline constexpr std::size_t kSettingsPathSize = 256;

// Full path of the running executable; the empty text when the system cannot tell.
std::string ExecutablePath();

// The executable's file name without its extension.
std::string ApplicationName(std::string_view executablePath);

// Fills path with the executable's path, its extension replaced by ".DAT" (appended when there
// is none). False, with path left empty, when the result would not fit in size - 1 characters
// or in 255, or when the executable path is empty, names a folder or holds a NUL byte.
bool MakeSettingsPath(std::string_view executablePath, char* path, std::size_t size);

template <std::size_t N>
bool MakeSettingsPath(std::string_view executablePath, char (&path)[N]) {
    return MakeSettingsPath(executablePath, path, N);
}

}  // namespace countryset
