// The settings file on Windows, on real files in a folder whose name is not ASCII.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "settings/profile_file.h"
#include "settings/settings_files.h"
#include "settings/settings_path.h"
#include "settings/win32_file_write_ops.h"
#include "settings/win32_reparse_policy.h"
// After the project's headers: its macros would rename their members.
#include <windows.h>
#undef GetPrivateProfileInt
#undef GetPrivateProfileString
#undef GetPrivateProfileSection
#undef WritePrivateProfileString

namespace countryset {
namespace {

namespace fs = std::filesystem;
using testing::FromUtf8;
using testing::Get;
using testing::Put;

const std::string kOriginal =
    "[Setting]\r\n; Stra\xC3\x9F"
    "e \xE9\xFF\r\nTitle=Country Setting\r\nCurrentSet = 0  \r\n"
    "Lf=only\n\r\n[Country]\r\nFrance=22";

class Win32ProfileFile : public ::testing::Test {
protected:
    bool WritePair(const std::string& path, const char* set = "2", const char* com = "3") {
        const ProfileKeyText keys[] = {{"CurrentSet", set}, {"CurrentCOM", com}};
        return ProfileFile().WritePrivateProfileKeys("Setting", keys, path);
    }
    HANDLE Open(const std::string& path, DWORD access, DWORD share) {
        const HANDLE handle = ::CreateFileW(FromUtf8(path).c_str(), access, share, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        return handle;
    }

    // "é", a CJK character and a Greek letter: none of them in any single-byte code page.
    const testing::TempFolder folder_{"countryset-\xC3\xA9\xE4\xB8\xAD\xCE\xA9-"};
    const std::string path_ = folder_ / "countryset.DAT";
};

// Every byte but the two keys' values stays: CRLF and a lone LF, bytes of no code page, no final
// line break. A stale temporary of a run that was ended mid-write is cleared away.
TEST_F(Win32ProfileFile, WriteBackChangesOnlyTheKeysByteForByte) {
    Put(FromUtf8(path_), kOriginal);
    Put(FromUtf8(folder_ / ".countryset.DAT.tmp4242.0"), "half a text");
    ASSERT_TRUE(WritePair(path_));
    EXPECT_EQ(Get(FromUtf8(path_)),
              "[Setting]\r\n; Stra\xC3\x9F"
              "e \xE9\xFF\r\nTitle=Country Setting\r\n"
              "CurrentSet = 2  \r\nLf=only\nCurrentCOM=3\r\n\r\n[Country]\r\nFrance=22");
    EXPECT_EQ(folder_.Entries(), 1);
    ProfileFile reread;
    EXPECT_EQ(reread.GetPrivateProfileInt("setting", "currentcom", 0, path_), 3);
    EXPECT_EQ(reread.ReadProblem(path_), "");

    // A new file is made with CRLF line breaks.
    const std::string fresh = folder_ / "fresh.DAT";
    ASSERT_TRUE(WritePair(fresh, "0", "1"));
    EXPECT_EQ(Get(FromUtf8(fresh)), "[Setting]\r\nCurrentSet=0\r\nCurrentCOM=1\r\n");
    EXPECT_EQ(folder_.Entries(), 2);
}

// What is no regular file is named with the reason, never opened where opening could act (a
// device), and never replaced.
TEST_F(Win32ProfileFile, WhatIsNoRegularFileIsRefusedWithItsReason) {
    const std::string large = folder_ / "large.DAT";
    Put(FromUtf8(large), "[Setting]\r\n");
    fs::resize_file(FromUtf8(large), kMaxSettingsFileBytes + 1);
    const std::string folderNamed = folder_ / "folder.DAT";
    fs::create_directory(FromUtf8(folderNamed));
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {folderNamed, "Is a directory"},
        {folder_ / "NUL", "Not a regular file"},
        // A device's name with an extension is still the device (here a port behind it).
        {folder_ / "COM1.DAT", "Not a regular file"},
        {"\\\\.\\COM3", "Not a regular file"},
        {large, "Larger than 16 MiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ProfileFile profile;
        EXPECT_EQ(profile.ReadProblem(c.path), c.reason);
        char buffer[16];
        profile.GetPrivateProfileString("Setting", "Title", "Dflt", buffer, sizeof buffer, c.path);
        EXPECT_STREQ(buffer, "Dflt");
        EXPECT_FALSE(WritePair(c.path));
    }
    EXPECT_TRUE(fs::is_directory(FromUtf8(folderNamed)));
    EXPECT_EQ(fs::file_size(FromUtf8(large)), kMaxSettingsFileBytes + 1);
    EXPECT_EQ(folder_.Entries(), 2);

    // Another program writing the file: its half-written text is not read, and the reason is
    // the system's own, as a fragment that the message can end.
    Put(FromUtf8(path_), kOriginal);
    const HANDLE writer = Open(path_, GENERIC_WRITE, 0);
    const std::string reason = ProfileFile().ReadProblem(path_);
    EXPECT_FALSE(WritePair(path_));
    ::CloseHandle(writer);
    EXPECT_FALSE(reason.empty());
    EXPECT_NE(reason.back(), '.');
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Get(FromUtf8(path_)), kOriginal);
}

// A file that cannot be replaced gives false and stays whole, with no temporary left.
TEST_F(Win32ProfileFile, AFileThatCannotBeReplacedStaysWhole) {
    Put(FromUtf8(path_), kOriginal);
    {
        // Open without FILE_SHARE_DELETE by another program: it may be read, not replaced.
        const HANDLE reader = Open(path_, GENERIC_READ, FILE_SHARE_READ);
        EXPECT_FALSE(WritePair(path_));
        ::CloseHandle(reader);
        EXPECT_EQ(Get(FromUtf8(path_)), kOriginal);
        EXPECT_EQ(folder_.Entries(), 1);
    }
    ASSERT_TRUE(::SetFileAttributesW(FromUtf8(path_).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(WritePair(path_));
    EXPECT_EQ(Get(FromUtf8(path_)), kOriginal);
    EXPECT_EQ(folder_.Entries(), 1);
    // Writing what the read-only file already holds changes nothing and is no failure.
    const ProfileKeyText same[] = {{"CurrentSet", "0"}};
    EXPECT_TRUE(ProfileFile().WritePrivateProfileKeys("Setting", same, path_));
    ::SetFileAttributesW(FromUtf8(path_).c_str(), FILE_ATTRIBUTE_NORMAL);
    // Once the file is free again, the write goes through.
    EXPECT_TRUE(WritePair(path_));
    EXPECT_EQ(ProfileFile().GetPrivateProfileInt("Setting", "CurrentSet", 0, path_), 2);
}

// Write-backs at once, each of a key of its own, reached through two spellings of the path: the
// lock holds them apart, so none is lost to another's read of the file before its replacement.
TEST_F(Win32ProfileFile, WriteBacksAtOnceLoseNoKey) {
    Put(FromUtf8(path_), kOriginal);
    // The same file by another path: forward slashes and a detour through "..".
    std::string detour = folder_ / "sub/../countryset.DAT";
    fs::create_directory(folder_.Path() / "sub");
    constexpr int kWriters = 4;
    constexpr int kRounds = 12;
    std::vector<std::thread> writers;
    std::vector<int> failures(kWriters, 0);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            const std::string key = "Writer" + std::to_string(w);
            for (int round = 1; round <= kRounds; ++round) {
                const std::string value = std::to_string(round);
                if (!ProfileFile().WritePrivateProfileString("Setting", key, value,
                                                             w % 2 ? detour : path_)) {
                    ++failures[w];
                }
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    ProfileFile profile;
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(failures[w], 0) << w;
        EXPECT_EQ(profile.GetPrivateProfileInt("Setting", "Writer" + std::to_string(w), 0, path_),
                  kRounds)
            << w;
    }
    EXPECT_EQ(folder_.Entries(), 2);  // the file and "sub"
}

// The write-back's system calls, each of which can be made to fail as the system lets it: a
// full disk, a failing flush, a replacement refused, and the two replacements that the system
// leaves half done, the old file already off its name (deleted, or moved aside).
enum class Fault {
    kCreate,
    kWrite,
    kFlush,
    kReplaceRefused,
    kReplaceLost,
    kReplaceMovedAside,
    kMove
};

class FailingWriteOps : public FileWriteOps {
public:
    FailingWriteOps(std::initializer_list<Fault> faults, std::filesystem::path aside)
        : faults_(faults), aside_(std::move(aside)) {}
    HANDLE CreateNew(const wchar_t* path) override {
        return Has(Fault::kCreate)  ? Fail(ERROR_ACCESS_DENIED),
               INVALID_HANDLE_VALUE : FileWriteOps::CreateNew(path);
    }
    BOOL Write(HANDLE file, const void* data, DWORD size, DWORD* written) override {
        if (!Has(Fault::kWrite)) {
            return FileWriteOps::Write(file, data, size, written);
        }
        return size > 1 ? FileWriteOps::Write(file, data, size / 2, written)
                        : Fail(ERROR_DISK_FULL);
    }
    BOOL Flush(HANDLE file) override {
        return Has(Fault::kFlush) ? Fail(ERROR_IO_DEVICE) : FileWriteOps::Flush(file);
    }
    BOOL Replace(const wchar_t* replaced, const wchar_t* replacement) override {
        if (Has(Fault::kReplaceRefused)) {
            return Fail(ERROR_UNABLE_TO_REMOVE_REPLACED);
        }
        if (Has(Fault::kReplaceLost)) {
            ::DeleteFileW(replaced);
            return Fail(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
        }
        if (Has(Fault::kReplaceMovedAside)) {
            ::MoveFileExW(replaced, aside_.c_str(), MOVEFILE_REPLACE_EXISTING);
            return Fail(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
        }
        return FileWriteOps::Replace(replaced, replacement);
    }
    BOOL Move(const wchar_t* from, const wchar_t* to) override {
        return Has(Fault::kMove) ? Fail(ERROR_NOT_READY) : FileWriteOps::Move(from, to);
    }

private:
    bool Has(Fault fault) const {
        return std::find(faults_.begin(), faults_.end(), fault) != faults_.end();
    }
    static BOOL Fail(DWORD error) {
        ::SetLastError(error);
        return FALSE;
    }
    std::vector<Fault> faults_;
    std::filesystem::path aside_;
};

// Whatever call fails, the file is the old text or the new one, and false (the warning) comes
// whenever the choice was not saved. Only when the system itself took the old file off its name
// and the file cannot be put back in place is the file missing; the new text is then in the
// temporary beside it, never deleted.
TEST_F(Win32ProfileFile, AFailingSystemCallLeavesTheOldTextOrTheNew) {
    const testing::TempFolder elsewhere{"countryset-aside-"};
    struct Case {
        const char* name;
        std::initializer_list<Fault> faults;
        bool existing;
        bool saved;
        const char* expected;  // the file's text; null when it is missing
    };
    const std::string kNew = "[Setting]\r\nCurrentSet=2\r\nCurrentCOM=3\r\n";
    const Case cases[] = {
        {"no fault", {}, true, true, "new"},
        {"temporary refused", {Fault::kCreate}, true, false, "old"},
        {"disk full", {Fault::kWrite}, true, false, "old"},
        {"flush", {Fault::kFlush}, true, false, "old"},
        {"replacement refused", {Fault::kReplaceRefused}, true, false, "old"},
        {"old file deleted", {Fault::kReplaceLost}, true, true, "new"},
        {"old file moved aside", {Fault::kReplaceMovedAside}, true, true, "new"},
        {"old file deleted, move fails", {Fault::kReplaceLost, Fault::kMove}, true, false, nullptr},
        {"old file aside, move fails",
         {Fault::kReplaceMovedAside, Fault::kMove},
         true,
         false,
         nullptr},
        {"new file, move fails", {Fault::kMove}, false, false, nullptr},
        {"new file, disk full", {Fault::kWrite}, false, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder_.Path());
        std::filesystem::create_directory(folder_.Path());
        const std::string old = "[Setting]\r\nCurrentSet=0\r\n";
        if (c.existing) {
            Put(FromUtf8(path_), old);
        }
        FailingWriteOps ops(c.faults, elsewhere.Path() / "aside");
        const ProfileKeyText keys[] = {{"CurrentSet", "2"}, {"CurrentCOM", "3"}};
        EXPECT_EQ(ProfileFile(ops).WritePrivateProfileKeys("Setting", keys, path_), c.saved);
        if (c.expected != nullptr) {
            EXPECT_EQ(Get(FromUtf8(path_)), std::string(c.expected) == "new" ? kNew : old);
            EXPECT_EQ(folder_.Entries(), 1);  // no temporary left
        } else if (!c.existing) {
            EXPECT_EQ(folder_.Entries(), 0);
        } else {
            ASSERT_EQ(folder_.Entries(), 1);
            const std::filesystem::path temp = *std::filesystem::directory_iterator(folder_.Path());
            EXPECT_EQ(Get(temp), kNew);
        }
    }
}

// Only a reparse point that names another file is refused; a file in a cloud folder, or one
// the system deduplicated or compressed, is read (and so brought in), whatever else it carries.
TEST(Win32ReparsePolicy, OnlyLinksAreRefused) {
    using settings_file::ReparseAction;
    constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT;
    struct Case {
        const char* name;
        DWORD attributes;
        DWORD tag;
        ReparseAction action;
    };
    const Case cases[] = {
        {"plain file", FILE_ATTRIBUTE_ARCHIVE, 0, ReparseAction::kRead},
        {"symbolic link", kReparse, IO_REPARSE_TAG_SYMLINK, ReparseAction::kRefuse},
        {"junction or mount point", kReparse, IO_REPARSE_TAG_MOUNT_POINT, ReparseAction::kRefuse},
        {"cloud placeholder", kReparse | FILE_ATTRIBUTE_OFFLINE, IO_REPARSE_TAG_CLOUD,
         ReparseAction::kReopen},
        {"cloud, provider 6", kReparse | FILE_ATTRIBUTE_ARCHIVE, 0x9000601A,
         ReparseAction::kReopen},
        {"deduplicated", kReparse, IO_REPARSE_TAG_DEDUP, ReparseAction::kReopen},
        {"compressed", kReparse, IO_REPARSE_TAG_WOF, ReparseAction::kReopen},
        {"storage tier", kReparse, IO_REPARSE_TAG_HSM, ReparseAction::kReopen},
        {"unknown surrogate", kReparse, 0xA0000099, ReparseAction::kRefuse},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(settings_file::ReparsePolicy(c.attributes, c.tag), c.action) << c.name;
    }
}

TEST(Win32SettingsPath, TheSettingsFileLiesBesideThisProgram) {
    const std::string executable = ExecutablePath();
    ASSERT_TRUE(executable.ends_with("\\win32_settings_tests.exe")) << executable;
    EXPECT_TRUE(fs::is_regular_file(FromUtf8(executable)));
    char path[kSettingsPathSize];
    ASSERT_TRUE(MakeSettingsPath(executable, path));
    EXPECT_EQ(std::string(path), executable.substr(0, executable.size() - 4) + ".DAT");
}

// The test above, run by a copy of this program in a folder whose name is not ASCII: its own
// path must come back as UTF-8 that names it.
TEST_F(Win32ProfileFile, ACopyInAFolderWithANonAsciiNameFindsItself) {
    const std::wstring copy = FromUtf8(folder_ / "win32_settings_tests.exe").wstring();
    ASSERT_TRUE(::CopyFileW(FromUtf8(ExecutablePath()).c_str(), copy.c_str(), TRUE));
    std::wstring command =
        L"\"" + copy + L"\" --gtest_filter=Win32SettingsPath.TheSettingsFileLiesBesideThisProgram";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process));
    // Only a hang is caught here.
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD status = 1;
    ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_EQ(status, 0u);
}

}  // namespace
}  // namespace countryset
