// The platform side of ProfileFile: reading the settings file whole, and replacing it under a
// lock that serialises write-backs. ProfileFile keeps the rules (when the file is read, what a
// write changes); these only find, check and move the bytes.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "settings/profile_file.h"

namespace countryset::settings_file {

enum class Found { kFile, kMissing, kFailed };

struct Outcome {
    Found found = Found::kFailed;
    std::string reason;  // for kFailed: why the file cannot be read
};

// Why a file cannot be read, where the system's own error text would mislead.
inline constexpr const char* kNotRegular = "Not a regular file";
inline constexpr const char* kTooLarge = "Larger than 16 MiB";
inline constexpr const char* kChanged = "It was replaced while it was being opened";

// The whole text of the regular file at path; kMissing when there is none.
Outcome ReadWhole(FileWriteOps* ops, std::string_view path, std::string& text);

// One write-back. The folder of the file at path is locked from construction to destruction,
// when the system allows it (Locked()).
class Rewrite {
public:
    Rewrite(FileWriteOps* ops, std::string_view path);
    ~Rewrite();
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;

    bool Locked() const;
    // The file as it is now, under the lock; the next Replace works on what this found.
    Outcome Read(std::string& text);
    // Puts text in the file's place in one step. False, with the old file whole and no temporary
    // left, when that cannot be done or the file is not ours to change. Where the system allows
    // writing the file but not replacing it in its folder, the file may be rewritten in place.
    bool Replace(const std::string& text);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace countryset::settings_file
