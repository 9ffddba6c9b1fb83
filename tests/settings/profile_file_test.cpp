#include "settings/profile_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

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

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0);
    return info.st_mode;
}

// Step 1: a full disk (the first write goes half through, the next fails); 2: fsync; 3: rename.
class FailingOps : public FileWriteOps {
public:
    explicit FailingOps(int step) : step_(step) {}
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        const bool half = step_ == 1 && writes_++ == 0 && size > 1;
        return step_ == 1 && !half ? Fail(ENOSPC)
                                   : FileWriteOps::Write(fd, data, size / (half + 1));
    }
    int Sync(int fd) override { return step_ == 2 ? Fail(EIO) : FileWriteOps::Sync(fd); }
    int Rename(const char* from, const char* to) override {
        return step_ == 3 ? Fail(EXDEV) : FileWriteOps::Rename(from, to);
    }

private:
    static int Fail(int error) {
        errno = error;
        return -1;
    }
    int step_;
    int writes_ = 0;
};

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        path_ = dir_ + "/countryset.DAT";
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    // No temporary file left beside the settings file.
    long FolderEntries() const {
        return std::distance(fs::directory_iterator(dir_), fs::directory_iterator());
    }
    bool Write(const char* value, int failingStep = 0) {
        FailingOps ops(failingStep);
        return ProfileFile(ops).WritePrivateProfileString("Setting", "CurrentSet", value, path_);
    }

    std::string dir_ = "/tmp/countryset-settings-XXXXXX";
    std::string path_;
};

const std::string kOriginal =
    "[Setting]\r\n; last choice\r\nTitle=Country Setting\r\nCurrentSet = 0  \r\n\r\n"
    "[Country]\r\nFrance=22\r\n";

TEST_F(ProfileFileTest, ReadsFilesAsOtherDesktopToolsLeaveThem) {
    ProfileFile profile;
    char buffer[256];
    // No file, or a folder in its place: every key takes its default.
    for (const std::string& path : {path_, dir_}) {
        EXPECT_EQ(profile.GetPrivateProfileString("S", "T", "Dflt", buffer, 256, path), 4u);
        EXPECT_STREQ(buffer, "Dflt");
        EXPECT_EQ(profile.GetPrivateProfileSection("Country", buffer, sizeof buffer, path), 0u);
        EXPECT_EQ(buffer[0], '\0');
    }
    // Byte-order mark, CRLF, lone CR and LF, comments, stray blanks and quotes, repeated names.
    Put(path_,
        "\xEF\xBB\xBF[ Setting ]\r\n; dialog texts\r\n  Title =  Country Setting  \r\n"
        "GroupText=\r\nStaticText=\"  quoted  \"\r\ntitle=second\r\nNumOfCountry=3\r\n"
        "Lone=v\rLf=w\n\r\n[Country]\r\nFrance = 22\r\n; Germany=49\r\nnot an entry  \r\n"
        "Code=a=b\r\n[setting]\r\nCurrentCOM=7\r\n");
    std::string texts;
    for (const char* key : {"TITLE", "GroupText", "StaticText", "Lone", "Lf", "Missing"}) {
        profile.GetPrivateProfileString("setting", key, "DEF", buffer, sizeof buffer, path_);
        texts += std::string(buffer) + "|";
    }
    EXPECT_EQ(texts, "Country Setting||  quoted  |v|w|DEF|");
    // Only the first section of a name counts.
    EXPECT_EQ(profile.GetPrivateProfileInt("Setting", "CurrentCOM", 1, path_), 1);
    const char entries[] = "France=22\0not an entry\0Code=a=b\0";
    ASSERT_EQ(profile.GetPrivateProfileSection("COUNTRY", buffer, sizeof buffer, path_),
              sizeof entries - 1);
    EXPECT_EQ(std::memcmp(buffer, entries, sizeof entries), 0);
}

TEST_F(ProfileFileTest, WriteBackChangesOnlyTheKeyAndKeepsTheMode) {
    Put(path_, kOriginal);
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ProfileFile profile;
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentSet", "2", path_));
    EXPECT_TRUE(profile.WritePrivateProfileString("setting", "CurrentCOM", "1", path_));
    EXPECT_EQ(Get(path_),
              "[Setting]\r\n; last choice\r\nTitle=Country Setting\r\nCurrentSet = 2  \r\n"
              "CurrentCOM=1\r\n\r\n[Country]\r\nFrance=22\r\n");
    EXPECT_EQ(ModeOf(path_) & 07777, 0640u);
    EXPECT_EQ(FolderEntries(), 1);
}

TEST_F(ProfileFileTest, FailedWriteLeavesTheOldFileWholeAndNoTemporary) {
    for (const int step : {1, 2, 3}) {
        SCOPED_TRACE(step);
        Put(path_, kOriginal);
        EXPECT_FALSE(Write("3", step));
        EXPECT_EQ(Get(path_), kOriginal);
        EXPECT_EQ(FolderEntries(), 1);
    }
}

TEST_F(ProfileFileTest, FileWeMayNotReplaceIsLeftAlone) {
    Put(path_, kOriginal);
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    EXPECT_FALSE(Write("3"));
    EXPECT_EQ(Get(path_), kOriginal);
    // Writing what the file already holds changes nothing and is no failure.
    EXPECT_TRUE(Write("0"));
    EXPECT_EQ(ModeOf(path_) & 07777, 0444u);

    if (::geteuid() != 0) {  // root writes into read-only folders
        ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
        ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
        EXPECT_FALSE(Write("3"));
        EXPECT_EQ(Get(path_), kOriginal);
        ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    }
    // A file that cannot be read is not replaced by one holding only the key.
    ASSERT_EQ(::unlink(path_.c_str()), 0);
    ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);
    EXPECT_FALSE(Write("3"));
    EXPECT_TRUE(S_ISDIR(ModeOf(path_)));
}

TEST_F(ProfileFileTest, LinkedSettingsFileStaysALinkAndItsTargetIsWritten) {
    ASSERT_EQ(::symlink("real.DAT", path_.c_str()), 0);
    // The first write creates the missing target, a new file with CRLF line breaks.
    EXPECT_TRUE(Write("0"));
    EXPECT_EQ(Get(dir_ + "/real.DAT"), "[Setting]\r\nCurrentSet=0\r\n");
    EXPECT_TRUE(Write("4"));
    EXPECT_EQ(Get(dir_ + "/real.DAT"), "[Setting]\r\nCurrentSet=4\r\n");
    EXPECT_TRUE(S_ISLNK(ModeOf(path_)));
}

TEST_F(ProfileFileTest, LinkPlantedByAnotherUserIsNotFollowed) {
    const std::string victim = dir_ + "/victim";
    Put(victim, "secret\n");
    ASSERT_EQ(::symlink(victim.c_str(), path_.c_str()), 0);
    if (::lchown(path_.c_str(), 12345, 12345) != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    EXPECT_FALSE(Write("4"));
    EXPECT_EQ(Get(victim), "secret\n");
}

}  // namespace
}  // namespace countryset
