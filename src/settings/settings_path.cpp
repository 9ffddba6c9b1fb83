#include "settings/settings_path.h"

#include <cstring>

namespace countryset {
namespace {

constexpr std::string_view kSettingsExtension = ".DAT";

std::size_t FileNameStart(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// The path without the extension of its file name. Only a "." inside the file name counts, so
// a dotted folder is never cut; a leading "." (a hidden file) is part of the name, not an
// extension.
std::string_view WithoutExtension(std::string_view path) {
    const std::size_t nameStart = FileNameStart(path);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot <= nameStart) {
        return path;
    }
    return path.substr(0, dot);
}

}  // namespace

std::string ApplicationName(std::string_view executablePath) {
    const std::string_view stem = WithoutExtension(executablePath);
    return std::string(stem.substr(FileNameStart(stem)));
}

bool MakeSettingsPath(std::string_view executablePath, char* path, std::size_t size) {
    if (size == 0) {
        return false;
    }
    path[0] = '\0';
    const std::string_view stem = WithoutExtension(executablePath);
    if (stem.empty() || FileNameStart(stem) == stem.size() ||
        stem.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::size_t length = stem.size() + kSettingsExtension.size();
    if (length > kSettingsPathSize - 1 || length > size - 1) {
        return false;
    }
    std::memcpy(path, stem.data(), stem.size());
    std::memcpy(path + stem.size(), kSettingsExtension.data(), kSettingsExtension.size());
    path[length] = '\0';
    return true;
}

}  // namespace countryset
