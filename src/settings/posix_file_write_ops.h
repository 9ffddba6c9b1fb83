// The system calls a write-back of the settings file depends on for its data reaching the disk.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "settings/profile_file.h"

namespace countryset {

// Tests replace these to play out a full disk or a failing rename, or to change the folder at
// the moment between the check of the file and its opening. Each returns what the system call
// would, with errno set on failure.
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

}  // namespace countryset
