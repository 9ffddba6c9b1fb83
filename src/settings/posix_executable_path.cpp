#include "settings/settings_path.h"

#include <unistd.h>

#include <climits>
#include <vector>

namespace countryset {

std::string ExecutablePath() {
    std::vector<char> buffer(PATH_MAX);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            break;
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        // readlink cuts silently; a full buffer may mean a longer path.
        buffer.resize(buffer.size() * 4);
    }
    // No guess from argv[0] or the current folder: a settings file found relative to wherever
    // the program was started from could be anyone's.
    return std::string();
}

}  // namespace countryset
