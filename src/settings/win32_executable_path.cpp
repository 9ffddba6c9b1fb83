#include "settings/settings_path.h"

#include "settings/win32_wide_text.h"

namespace countryset {

std::string ExecutablePath() {
    // The path may be longer than MAX_PATH (a \\?\ start); a full buffer may mean a cut one.
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 6; ++attempt) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            break;
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            // No guess from the command line or the current folder when the path cannot be
            // told: a settings file found there could be anyone's.
            return win32::Narrow(buffer).value_or(std::string());
        }
        buffer.resize(buffer.size() * 4);
    }
    return std::string();
}

}  // namespace countryset
