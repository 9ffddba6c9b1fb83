#include "settings/profile_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace countryset {
namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/countryset-settings-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/countryset.DAT";
    }
    void TearDown() override {
        ::chmod(dir_.c_str(), 0755);
        for (const std::string& name : Entries()) {
            ::unlink((dir_ + "/" + name).c_str());
        }
        ::rmdir(dir_.c_str());
    }

    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            ::closedir(d);
        }
        return names;
    }
    static void Put(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Get(const std::string& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }

    std::string dir_;
    std::string path_;
};

const std::string kOriginal =
    "[Setting]\r\nTitle=Country Setting\r\nCurrentSet=0\r\n\r\n[Country]\r\nFrance=22\r\n";

TEST_F(ProfileFileTest, ReadsRealFilesAndDefaultsWhenMissing) {
    ProfileFile profile;
    char buffer[256];
    EXPECT_EQ(profile.GetPrivateProfileInt("Setting", "CurrentCOM", 1, path_), 1);
    EXPECT_EQ(profile.GetPrivateProfileString("Setting", "Title", "Country Setting", buffer,
                                              sizeof buffer, path_),
              15u);
    EXPECT_EQ(profile.GetPrivateProfileSection("Country", buffer, sizeof buffer, path_), 0u);
    EXPECT_EQ(buffer[0], '\0');

    Put(path_, kOriginal);
    EXPECT_EQ(profile.GetPrivateProfileInt("Setting", "CurrentSet", 5, path_), 0);
    EXPECT_EQ(profile.GetPrivateProfileSection("Country", buffer, sizeof buffer, path_), 10u);
    EXPECT_STREQ(buffer, "France=22");
    // A folder where the file should be reads like no file.
    EXPECT_EQ(profile.GetPrivateProfileInt("Setting", "CurrentSet", 5, dir_), 5);
}

TEST_F(ProfileFileTest, WriteBackChangesOnlyTheKeyAndKeepsTheMode) {
    Put(path_, kOriginal);
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ProfileFile profile;
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentSet", "2", path_));
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentCOM", "1", path_));
    EXPECT_EQ(Get(path_),
              "[Setting]\r\nTitle=Country Setting\r\nCurrentSet=2\r\nCurrentCOM=1\r\n\r\n"
              "[Country]\r\nFrance=22\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"countryset.DAT"});
}

TEST_F(ProfileFileTest, LinkedSettingsFileStaysALinkAndItsTargetIsWritten) {
    ASSERT_EQ(::symlink("real.DAT", path_.c_str()), 0);
    ProfileFile profile;
    // The first write creates the missing target, a new file with CRLF line breaks.
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentSet", "0", path_));
    EXPECT_EQ(Get(dir_ + "/real.DAT"), "[Setting]\r\nCurrentSet=0\r\n");
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentSet", "4", path_));
    EXPECT_EQ(Get(dir_ + "/real.DAT"), "[Setting]\r\nCurrentSet=4\r\n");
    struct stat info {};
    ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(ProfileFileTest, LinkPlantedByAnotherUserIsNotFollowed) {
    const std::string victim = dir_ + "/victim";
    Put(victim, "secret\n");
    ASSERT_EQ(::symlink(victim.c_str(), path_.c_str()), 0);
    if (::lchown(path_.c_str(), 12345, 12345) != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    ProfileFile profile;
    EXPECT_FALSE(profile.WritePrivateProfileString("Setting", "CurrentSet", "4", path_));
    EXPECT_EQ(Get(victim), "secret\n");
}

// Fails the chosen step the way a full disk or a broken rename would.
class FailingOps : public FileWriteOps {
public:
    enum class Step { kWrite, kSync, kRename };
    explicit FailingOps(Step step) : step_(step) {}
    // A full disk: the first write goes half through, the next one fails.
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        if (step_ == Step::kWrite && (wrotePart_ || size < 2)) {
            return Fail(ENOSPC);
        }
        wrotePart_ = true;
        return FileWriteOps::Write(fd, data, step_ == Step::kWrite ? size / 2 : size);
    }
    int Sync(int fd) override { return step_ == Step::kSync ? Fail(EIO) : FileWriteOps::Sync(fd); }
    int Rename(const char* from, const char* to) override {
        return step_ == Step::kRename ? Fail(EXDEV) : FileWriteOps::Rename(from, to);
    }

private:
    static int Fail(int error) {
        errno = error;
        return -1;
    }
    Step step_;
    bool wrotePart_ = false;
};

TEST_F(ProfileFileTest, FailedWriteLeavesTheOldFileWholeAndNoTemporary) {
    for (const FailingOps::Step step :
         {FailingOps::Step::kWrite, FailingOps::Step::kSync, FailingOps::Step::kRename}) {
        Put(path_, kOriginal);
        FailingOps ops(step);
        ProfileFile profile(ops);
        EXPECT_FALSE(profile.WritePrivateProfileString("Setting", "CurrentSet", "3", path_));
        EXPECT_EQ(Get(path_), kOriginal);
        EXPECT_EQ(Entries(), std::vector<std::string>{"countryset.DAT"});
    }
}

TEST_F(ProfileFileTest, ReadOnlyFolderFailsWithoutHarm) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders; the injected failures cover this";
    }
    Put(path_, kOriginal);
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    ProfileFile profile;
    EXPECT_FALSE(profile.WritePrivateProfileString("Setting", "CurrentSet", "3", path_));
    EXPECT_EQ(Get(path_), kOriginal);
}

TEST_F(ProfileFileTest, ReadOnlyFileIsNotReplaced) {
    Put(path_, kOriginal);
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    ProfileFile profile;
    EXPECT_FALSE(profile.WritePrivateProfileString("Setting", "CurrentSet", "3", path_));
    EXPECT_EQ(Get(path_), kOriginal);
    // Writing what the file already holds changes nothing and is no failure.
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentSet", "0", path_));
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0444u);
}

TEST_F(ProfileFileTest, UnreadableFileIsNotReplaced) {
    ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);
    ProfileFile profile;
    EXPECT_FALSE(profile.WritePrivateProfileString("Setting", "CurrentSet", "3", path_));
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    ::rmdir(path_.c_str());
}

}  // namespace
}  // namespace countryset
