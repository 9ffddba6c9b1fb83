// The private-profile operations over real files.
//
// The file is read once per object (a run) and every read works on that text. A write locks the
// folder that holds the file against other runs' writes, reads the file afresh under that lock
// and replaces the file atomically: the new text goes to a temporary file in that folder, is
// flushed to disk and moved over the old one, so a failed write leaves the old file whole and
// two runs never mix their keys. Where the folder refuses the temporary or the rename but the
// file may be written, the file is rewritten in place under the same lock instead. A result
// larger than kMaxSettingsFileBytes is never written: no later run could read it.
//
// The file that is read is never anything but a regular file of at most kMaxSettingsFileBytes;
// links and their like are followed only where they cannot lead a run to someone else's file.
#pragma once

#include <cstddef>
#include <string>

#include "settings/text_profile.h"

namespace countryset {

// A larger file is not a settings file (or is /dev/zero): it is refused, not read.
inline constexpr std::size_t kMaxSettingsFileBytes = 16 * 1024 * 1024;

// The system calls a write-back depends on, which tests replace; each platform defines its own
// (see posix_file_write_ops.h).
class FileWriteOps;

class ProfileFile : public TextProfile {
public:
    ProfileFile() = default;
    // ops must outlive this object.
    explicit ProfileFile(FileWriteOps& ops) : ops_(&ops) {}

    // False, with the file as it was, when the file cannot be read or replaced, or another run
    // holds the folder's lock for longer than a write-back takes.
    bool WritePrivateProfileKeys(std::string_view section, std::span<const ProfileKeyText> keys,
                                 std::string_view path) override;
    std::string ReadProblem(std::string_view path) override;

protected:
    std::string_view Text(std::string_view path) override;

private:
    void Load(std::string_view path);

    FileWriteOps* ops_ = nullptr;  // the system's own when null
    bool loaded_ = false;
    std::string loadedPath_;
    std::string text_;
    std::string problem_;
};

}  // namespace countryset
