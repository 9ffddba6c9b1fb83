// The private-profile operations over real files. A write replaces the file atomically: the
// new text goes to a temporary file beside it, is flushed to disk and renamed over the old one,
// so a failed write leaves the old file whole.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "settings/text_profile.h"

namespace countryset {

// The system calls a write-back depends on for its data reaching the disk; tests replace them
// to play out a full disk or a failing rename. Each returns what the system call would, with
// errno set on failure.
class FileWriteOps {
public:
    virtual ~FileWriteOps() = default;
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    virtual int Sync(int fd);
    virtual int Rename(const char* from, const char* to);
};

class ProfileFile : public TextProfile {
public:
    ProfileFile() = default;
    // ops must outlive this object.
    explicit ProfileFile(FileWriteOps& ops) : ops_(&ops) {}

    // False, with the file as it was, when the file cannot be read or replaced.
    bool WritePrivateProfileString(std::string_view section, std::string_view key,
                                   std::string_view text, std::string_view path) override;

protected:
    std::string Text(std::string_view path) const override;

private:
    FileWriteOps* ops_ = nullptr;
};

}  // namespace countryset
