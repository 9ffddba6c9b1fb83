// Port names as operators write them: "COMn" in any case, n from 1 to 256 without leading zeros,
// the numbers both systems give serial ports. The dialog's list offers the first eight.
#pragma once

#include <string>
#include <string_view>

namespace countryset {

inline constexpr int kListedPorts = 8;
inline constexpr int kMostPortNumber = 256;

// n for a port name "COMn", 0 for anything else.
constexpr int ComPortNumber(std::string_view name) {
    if (name.size() < 4 || name.size() > 6 || name[3] == '0') {
        return 0;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if ((name[i] | 0x20) != "com"[i]) {
            return 0;
        }
    }
    int n = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        n = n * 10 + (c - '0');
    }
    return n <= kMostPortNumber ? n : 0;
}

inline std::string ComPortName(int number) {
    return "COM" + std::to_string(number);
}

}  // namespace countryset
