// The system calls a write-back of the settings file depends on for its data reaching the disk.
#pragma once

#include "settings/profile_file.h"
#include "settings/win32_wide_text.h"

namespace countryset {

// Tests replace these to play out a full disk, a failing flush or a replacement that the system
// leaves half done. Each returns what the system call would, with the last error set on failure.
class FileWriteOps {
public:
    virtual ~FileWriteOps() = default;
    // A new file for writing alone; fails when the name is taken.
    virtual HANDLE CreateNew(const wchar_t* path);
    virtual BOOL Write(HANDLE file, const void* data, DWORD size, DWORD* written);
    virtual BOOL Flush(HANDLE file);
    // ReplaceFileW without a backup.
    virtual BOOL Replace(const wchar_t* replaced, const wchar_t* replacement);
    // MoveFileExW through to the disk, never over a file that is there.
    virtual BOOL Move(const wchar_t* from, const wchar_t* to);
    virtual BOOL Delete(const wchar_t* path);
};

}  // namespace countryset
