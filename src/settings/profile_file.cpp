#include "settings/profile_file.h"

#include <optional>
#include <utility>

#include "seams/write_back_guard.h"
#include "settings/profile_text.h"
#include "settings/settings_file_access.h"

namespace countryset {
namespace {

bool UsablePath(std::string_view path) {
    return !path.empty() && path.find('\0') == std::string_view::npos;
}

}  // namespace

void ProfileFile::Load(std::string_view path) {
    if (loaded_ && loadedPath_ == path) {
        return;
    }
    loaded_ = true;
    loadedPath_ = path;
    text_.clear();
    problem_.clear();
    if (!UsablePath(path)) {
        return;
    }
    settings_file::Outcome outcome = settings_file::ReadWhole(ops_, path, text_);
    if (outcome.found != settings_file::Found::kFile) {
        text_.clear();
    }
    if (outcome.found == settings_file::Found::kFailed) {
        problem_ = std::move(outcome.reason);
    }
}

std::string_view ProfileFile::Text(std::string_view path) {
    Load(path);
    return text_;
}

std::string ProfileFile::ReadProblem(std::string_view path) {
    Load(path);
    return problem_;
}

bool ProfileFile::WritePrivateProfileKeys(std::string_view section,
                                          std::span<const ProfileKeyText> keys,
                                          std::string_view path) {
    // The write works on the file as it is now; the copy read earlier would only double the
    // memory a large file takes.
    if (loaded_ && loadedPath_ == path) {
        loaded_ = false;
        text_ = std::string();
    }
    if (!UsablePath(path)) {
        return false;
    }
    // A signal that ends the program waits for this write-back (the lock's wait included).
    const WriteBackGuard inProgress;
    settings_file::Rewrite rewrite(ops_, path);
    if (!rewrite.Locked()) {
        return false;
    }
    // Under the lock the file is read afresh: another run's choice or an operator's edit made
    // since this run read it must not be lost.
    std::string old;
    const settings_file::Outcome outcome = rewrite.Read(old);
    // A file that is there but cannot be read must not be replaced by one holding only the keys.
    if (outcome.found == settings_file::Found::kFailed) {
        return false;
    }
    const bool existed = outcome.found == settings_file::Found::kFile;
    std::optional<std::string> updated = WriteProfileValues(old, section, keys);
    // Every later run, reading included, would refuse a file past the limit: the choice is
    // reported unsaved and the file stays readable.
    if (!updated || updated->size() > kMaxSettingsFileBytes) {
        return false;
    }
    if (!existed || *updated != old) {
        old = std::string();
        if (!rewrite.Replace(*updated)) {
            return false;
        }
    }
    loaded_ = true;
    loadedPath_ = path;
    text_ = std::move(*updated);
    problem_.clear();
    return true;
}

}  // namespace countryset
