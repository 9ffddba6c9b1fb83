// The private-profile operations over real files.
//
// The file is read once per object (a run) and every read works on that text. A write takes an
// advisory lock on the folder that holds the file (flock), reads the file afresh under it,
// and replaces the file atomically: the new text goes to a temporary file in that folder, is
// flushed to disk and renamed over the old one, so a failed write leaves the old file whole and
// two runs never mix their keys.
//
// The path is walked one component at a time through folder descriptors, each opened without
// following links; a symbolic link is followed only when it belongs to the user running the
// program or to root, and the file that is opened must be the one that was checked.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "settings/text_profile.h"

namespace countryset {

// A larger file is not a settings file (or is /dev/zero): it is refused, not read.
inline constexpr std::size_t kMaxSettingsFileBytes = 16 * 1024 * 1024;

// The system calls a write-back depends on for its data reaching the disk; tests replace them
// to play out a full disk or a failing rename, or to change the folder at the moment between
// the check of the file and its opening. Each returns what the system call would, with errno
// set on failure.
class FileWriteOps {
public:
    virtual ~FileWriteOps() = default;
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    virtual int Sync(int fd);
    // Renames within the folder open at dirFd.
    virtual int Rename(int dirFd, const char* from, const char* to);
    // The entry name in the folder open at dirFd has been checked and is about to be opened.
    virtual void Checked(int dirFd, const char* name);
};

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
    FileWriteOps& Ops() const;
    void Load(std::string_view path);

    FileWriteOps* ops_ = nullptr;
    bool loaded_ = false;
    std::string loadedPath_;
    std::string text_;
    std::string problem_;
};

}  // namespace countryset
