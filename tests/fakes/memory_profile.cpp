#include "fakes/memory_profile.h"

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

void MemoryProfile::SetReadProblem(std::string_view path, std::string_view reason) {
    readProblems_.insert_or_assign(std::string(path), std::string(reason));
}

std::string MemoryProfile::ReadProblem(std::string_view path) {
    const auto it = readProblems_.find(path);
    return it == readProblems_.end() ? std::string() : it->second;
}

std::string_view MemoryProfile::TextOf(std::string_view path) const {
    const auto problem = readProblems_.find(path);
    if (problem != readProblems_.end() && !problem->second.empty()) {
        return {};
    }
    const auto it = files_.find(path);
    return it == files_.end() ? std::string_view() : std::string_view(it->second);
}

std::string_view MemoryProfile::Text(std::string_view path) {
    return TextOf(path);
}

bool MemoryProfile::WritePrivateProfileKeys(std::string_view section,
                                            std::span<const ProfileKeyText> keys,
                                            std::string_view path) {
    WriteCall call{std::string(section), {}, std::string(path)};
    for (const ProfileKeyText& k : keys) {
        call.keys.emplace_back(k.key, k.text);
    }
    if (!writesFail_ && !path.empty() && ReadProblem(path).empty()) {
        if (std::optional<std::string> updated = WriteProfileValues(TextOf(path), section, keys)) {
            files_.insert_or_assign(std::string(path), std::move(*updated));
            call.succeeded = true;
        }
    }
    writes_.push_back(std::move(call));
    return writes_.back().succeeded;
}

}  // namespace countryset
