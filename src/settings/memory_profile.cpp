#include "settings/memory_profile.h"

#include "settings/profile_text.h"

namespace countryset {

void MemoryProfile::SetFile(std::string_view path, std::string_view text) {
    files_.insert_or_assign(std::string(path), std::string(text));
}

void MemoryProfile::RemoveFile(std::string_view path) {
    const auto it = files_.find(path);
    if (it != files_.end()) {
        files_.erase(it);
    }
}

std::optional<std::string> MemoryProfile::FileText(std::string_view path) const {
    const auto it = files_.find(path);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string_view MemoryProfile::TextOf(std::string_view path) const {
    const auto it = files_.find(path);
    return it == files_.end() ? std::string_view() : std::string_view(it->second);
}

std::string MemoryProfile::Text(std::string_view path) const {
    return std::string(TextOf(path));
}

bool MemoryProfile::WritePrivateProfileString(std::string_view section, std::string_view key,
                                              std::string_view text, std::string_view path) {
    WriteCall call{std::string(section), std::string(key), std::string(text), std::string(path)};
    if (!writesFail_ && !path.empty()) {
        if (std::optional<std::string> updated =
                WriteProfileValue(TextOf(path), section, key, text)) {
            files_.insert_or_assign(std::string(path), std::move(*updated));
            call.succeeded = true;
        }
    }
    writes_.push_back(std::move(call));
    return writes_.back().succeeded;
}

}  // namespace countryset
