// The settings file on POSIX systems: permissions, links, FIFOs, the folder lock and failing
// system calls of the write-back.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "settings/posix_file_write_ops.h"
#include "settings/profile_file.h"

namespace countryset {
namespace {

namespace fs = std::filesystem;

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string ReplaceTitle(const std::string& text, const std::string& title) {
    return ReplaceAll(text, "Title=Country Setting", "Title=" + title);
}

// A settings file in a folder of its own, written through system calls that fail at step_ 1
// (a filling disk: each write goes half through, one of a single byte fails), 2 (fsync) or 3
// (rename). onChecked_ runs between the check of the file and its opening.
class ProfileFileTest : public ::testing::Test, public FileWriteOps {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        path_ = dir_ + "/countryset.DAT";
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    static int Fail(int error) {
        errno = error;
        return -1;
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        return step_ != 1 ? FileWriteOps::Write(fd, data, size)
               : size > 1 ? FileWriteOps::Write(fd, data, size / 2)
                          : Fail(ENOSPC);
    }
    int Sync(int fd) override { return step_ == 2 ? Fail(EIO) : FileWriteOps::Sync(fd); }
    int Rename(int dirFd, const char* from, const char* to) override {
        ++renames_;
        if (onRename_) {
            onRename_();
        }
        return step_ == 3 ? Fail(EXDEV) : FileWriteOps::Rename(dirFd, from, to);
    }
    void Checked(int dirFd, const char* name) override {
        if (onChecked_) {
            onChecked_(dirFd, name);
        }
    }
    bool WriteKey(const char* value, int failingStep = 0) {
        step_ = failingStep;
        return ProfileFile(*this).WritePrivateProfileString("Setting", "CurrentSet", value, path_);
    }
    // No temporary file left beside the settings file.
    long FolderEntries() const { return std::distance(fs::directory_iterator(dir_), {}); }
    // Whether another open of the folder could take its lock now.
    bool FolderLockFree() const {
        const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }

    std::string dir_ = "/tmp/countryset-settings-XXXXXX";
    std::string path_;
    int step_ = 0;
    int renames_ = 0;
    std::function<void(int, const char*)> onChecked_;
    std::function<void()> onRename_;
};

const std::string kOriginal =
    "[Setting]\r\n; last choice\r\nTitle=Country Setting\r\nCurrentSet = 0  \r\n\r\n"
    "[Country]\r\nFrance=22\r\n";

// A file that is there but cannot be read is named with the reason, reads as its defaults, is
// never opened when it is no regular file (a FIFO would hang, a device could act), and is not
// replaced by a write.
TEST_F(ProfileFileTest, UnreadableFileHasAReasonAndIsLeftAlone) {
    const std::string secret = dir_ + "/secret";
    Put(secret, "[Setting]\nTitle=secret\n");
    struct Case {
        const char* name;
        std::function<void()> make;
        std::string reason;
        bool asNobody = false;
    };
    const Case cases[] = {
        {"folder", [&] { fs::create_directory(path_); }, "Is a directory"},
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(path_.c_str(), 0666), 0); }, "Not a regular file"},
        {"device", [&] { fs::create_symlink("/dev/zero", path_); }, "Not a regular file"},
        {"over the limit",
         [&] {
             Put(path_, "[Setting]\n");
             fs::resize_file(path_, kMaxSettingsFileBytes + 1);
         },
         "Larger than 16 MiB"},
        {"another user's link",
         [&] {
             fs::create_symlink(secret, path_);
             ASSERT_EQ(::lchown(path_.c_str(), 12345, 12345), 0);
         },
         "A symbolic link on its path belongs to another user"},
        {"no read permission",
         [&] {
             Put(path_, kOriginal);
             fs::permissions(path_, fs::perms{0600});
             fs::permissions(dir_, fs::perms{0777});
         },
         std::strerror(EACCES), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(path_);
        c.make();
        std::string reason;
        if (c.asNobody) {
            // Root reads every file: the reader must be another user, in a process of its own.
            int out[2];
            ASSERT_EQ(::pipe(out), 0);
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(out[0]);
                if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                    ::_exit(2);
                }
                const std::string why = ProfileFile().ReadProblem(path_);
                ::_exit(::write(out[1], why.data(), why.size()) == ssize_t(why.size()) ? 0 : 3);
            }
            ::close(out[1]);
            char buffer[256];
            ssize_t n;
            while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) {
                reason.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(out[0]);
            int status = 0;
            ::waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        } else {
            ProfileFile profile;
            reason = profile.ReadProblem(path_);
            char buffer[16];
            profile.GetPrivateProfileString("Setting", "Title", "Dflt", buffer, 16, path_);
            EXPECT_STREQ(buffer, "Dflt");
            EXPECT_FALSE(WriteKey("3"));
        }
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(Get(secret), "[Setting]\nTitle=secret\n");
    }
    fs::permissions(dir_, fs::perms::owner_all);
}

// A failed write leaves the old file whole and no temporary; a good one changes only the key.
TEST_F(ProfileFileTest, WriteBackChangesOnlyTheKeyOrNothing) {
    for (const int step : {1, 2, 3, 0}) {  // 0: the file is read-only
        SCOPED_TRACE(step);
        Put(path_, kOriginal);
        fs::permissions(path_, static_cast<fs::perms>(step ? 0640 : 0444));
        EXPECT_FALSE(WriteKey("3", step));
        EXPECT_EQ(Get(path_), kOriginal);
        EXPECT_EQ(FolderEntries(), 1);
    }
    // Writing what the read-only file already holds changes nothing and is no failure.
    EXPECT_TRUE(WriteKey("0"));
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms{0444});
    fs::permissions(path_, fs::perms{0640});
    // Both keys in one replacement: no reader ever sees one without the other.
    renames_ = 0;
    const ProfileKeyText keys[] = {{"CurrentSet", "2"}, {"CurrentCOM", "1"}};
    EXPECT_TRUE(ProfileFile(*this).WritePrivateProfileKeys("setting", keys, path_));
    EXPECT_EQ(renames_, 1);
    EXPECT_EQ(Get(path_),
              "[Setting]\r\n; last choice\r\nTitle=Country Setting\r\nCurrentSet = 2  \r\n"
              "CurrentCOM=1\r\n\r\n[Country]\r\nFrance=22\r\n");
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms{0640});
    EXPECT_EQ(FolderEntries(), 1);
}

// The folder's lock is held from the read to the rename, and the file is read afresh under it:
// what another run or the operator wrote since this run read the file stays.
TEST_F(ProfileFileTest, WriteBackReadsAfreshUnderTheFolderLock) {
    Put(path_, kOriginal);
    ProfileFile profile(*this);
    char title[64];
    profile.GetPrivateProfileString("Setting", "Title", "", title, sizeof title, path_);
    EXPECT_TRUE(FolderLockFree());
    const std::string edited = ReplaceTitle(kOriginal, "Edited");
    Put(path_, edited);
    bool lockedAtRead = false, lockedAtRename = false;
    onChecked_ = [&](int, const char*) { lockedAtRead = !FolderLockFree(); };
    onRename_ = [&] { lockedAtRename = !FolderLockFree(); };
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentSet", "5", path_));
    EXPECT_TRUE(lockedAtRead);
    EXPECT_TRUE(lockedAtRename);
    EXPECT_TRUE(FolderLockFree());
    EXPECT_EQ(Get(path_), ReplaceAll(edited, "CurrentSet = 0", "CurrentSet = 5"));
}

// Between the check and the opening, a writer to the folder swaps the file for a link to a file
// it may not read: neither read nor write may reach that file, and nothing is copied.
TEST_F(ProfileFileTest, FileSwappedForALinkAfterTheCheckIsNotOpened) {
    const std::string secret = dir_ + "/root-only";
    Put(secret, "[Setting]\nTitle=secret\n");
    fs::permissions(secret, fs::perms{0600});
    const std::string planted = dir_ + "/planted";
    for (const bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        Put(path_, kOriginal);
        fs::create_symlink(secret, planted);
        onChecked_ = [&](int, const char*) {
            if (fs::is_symlink(planted)) {
                ASSERT_EQ(::rename(planted.c_str(), path_.c_str()), 0);
            }
        };
        if (write) {
            EXPECT_FALSE(WriteKey("3"));
        } else {
            EXPECT_EQ(ProfileFile(*this).ReadProblem(path_),
                      "It was replaced while it was being opened");
        }
        EXPECT_TRUE(fs::is_symlink(path_));
        EXPECT_EQ(Get(secret), "[Setting]\nTitle=secret\n");
        EXPECT_EQ(FolderEntries(), 2);  // the link and the secret, no copy and no temporary
        fs::remove(path_);
    }
}

TEST_F(ProfileFileTest, LinkedFileStaysALinkButALinkPlantedByAnotherUserIsNotFollowed) {
    fs::create_directory(dir_ + "/etc");
    fs::create_symlink("etc/real.DAT", path_);
    // The first write creates the missing target, a new file with CRLF line breaks.
    for (const std::string value : {"0", "4"}) {
        EXPECT_TRUE(WriteKey(value.c_str()));
        EXPECT_EQ(Get(dir_ + "/etc/real.DAT"), "[Setting]\r\nCurrentSet=" + value + "\r\n");
    }
    EXPECT_TRUE(fs::is_symlink(path_));
    // A link to a folder on the way counts like a link to the file.
    fs::remove(path_);
    fs::create_symlink(dir_ + "/etc", dir_ + "/via");
    EXPECT_TRUE(ProfileFile(*this).WritePrivateProfileString("Setting", "CurrentCOM", "2",
                                                             dir_ + "/via/real.DAT"));
    EXPECT_EQ(Get(dir_ + "/etc/real.DAT"), "[Setting]\r\nCurrentSet=4\r\nCurrentCOM=2\r\n");
    ASSERT_EQ(::lchown((dir_ + "/via").c_str(), 12345, 12345), 0) << "needs root";
    EXPECT_FALSE(ProfileFile(*this).WritePrivateProfileString("Setting", "CurrentCOM", "5",
                                                              dir_ + "/via/real.DAT"));
    EXPECT_EQ(Get(dir_ + "/etc/real.DAT"), "[Setting]\r\nCurrentSet=4\r\nCurrentCOM=2\r\n");
}

}  // namespace
}  // namespace countryset

namespace countryset {
namespace {

// Runs body in a child process as the user nobody; its exit status is body's result.
bool AsNobody(const std::function<bool()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// An operator who may write the file but not its folder (root's) still saves, in place: the
// same inode, its owner and mode kept, the text shorter or longer than before. A file the
// operator may not write stays refused.
TEST_F(ProfileFileTest, FileWritableInAFolderThatIsNotIsRewrittenInPlace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    fs::permissions(dir_, fs::perms{0755});
    Put(path_, kOriginal);
    ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
    fs::permissions(path_, fs::perms{0640});
    struct stat before {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    for (const char* value : {"123456", "7"}) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(AsNobody([&] {
            return ProfileFile().WritePrivateProfileString("Setting", "CurrentSet", value, path_);
        }));
        EXPECT_EQ(Get(path_),
                  ReplaceAll(kOriginal, "CurrentSet = 0", std::string("CurrentSet = ") + value));
    }
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(FolderEntries(), 1);

    ASSERT_EQ(::chown(path_.c_str(), 0, 0), 0);
    fs::permissions(path_, fs::perms{0644});
    EXPECT_FALSE(AsNobody([&] {
        return ProfileFile().WritePrivateProfileString("Setting", "CurrentSet", "9", path_);
    }));
    EXPECT_EQ(Get(path_), ReplaceAll(kOriginal, "CurrentSet = 0", "CurrentSet = 7"));
}

// The program's own write-back never makes the file too large to read again: at the limit it
// is refused and the file left as it was; one byte less room and it fits exactly.
TEST_F(ProfileFileTest, WriteBackNeverPassesTheReadLimit) {
    Put(path_, "[Setting]\n");
    ASSERT_TRUE(WriteKey("1"));
    const std::size_t added = Get(path_).size() - std::string("[Setting]\n").size();
    for (const std::size_t room : {added - 1, added}) {
        SCOPED_TRACE(room);
        std::string text = "[Setting]\n;";
        text.resize(kMaxSettingsFileBytes - room - 1, 'x');
        text += "\n";
        Put(path_, text);
        EXPECT_EQ(WriteKey("1"), room == added);
        ProfileFile reader;
        EXPECT_EQ(reader.ReadProblem(path_), "");
        EXPECT_EQ(reader.GetPrivateProfileInt("Setting", "CurrentSet", -1, path_),
                  room == added ? 1 : -1);
    }
}

}  // namespace
}  // namespace countryset
