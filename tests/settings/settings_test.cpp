// The settings layer: profile text, the settings file on disk, its path and the port devices.
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/memory_profile.h"
#include "settings/port_devices.h"
#include "settings/profile_file.h"
#include "settings/profile_text.h"
#include "settings/settings_path.h"

namespace countryset {
namespace {

TEST(ProfileTextRead, IntegersTakeSignBlanksAndClampToThirtyTwoBits) {
    const std::string huge = "18446744073709551617";  // 2^64 + 1, past 64 bits too
    const std::string values[] = {"  -7",       "+3",  "12abc",       "abc",
                                  "",           "- 5", "\"8\"",       "2147483647",
                                  "2147483648", huge,  "-2147483648", "-" + huge};
    const int expected[] = {-7, 3,       12,      -99,     -99,     -99,
                            8,  INT_MAX, INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(ReadProfileInt("[S]\nN=" + values[i] + "\n", "S", "N", -99), expected[i])
            << values[i];
    }
}

// Reads are cut to the buffer and end in their zero(s) inside it; no byte past those is touched.
TEST(ProfileTextRead, CutReadsEndInZerosWithinTheBuffer) {
    const std::string file = "[S]\r\nK=" + std::string(300, 'x') + "\r\n";
    for (const std::uint32_t size : {256u, 1u, 0u}) {
        std::string buffer(260, '#');
        const std::string text = size == 0 ? "" : std::string(size - 1, 'x') + '\0';
        EXPECT_EQ(ReadProfileString(file, "S", "K", "", buffer.data(), size),
                  std::max(size, 1u) - 1);
        EXPECT_EQ(buffer, text + std::string(260 - text.size(), '#')) << size;
    }
    const std::string full("ab=1\0cd=22\0\0", 12);
    for (std::uint32_t size = 0; size <= 14; ++size) {
        std::string buffer(20, '#');
        const bool cut = size < full.size();
        const std::string list = !cut       ? full
                                 : size < 2 ? std::string(size, '\0')
                                            : full.substr(0, size - 2) + '\0' + '\0';
        bool reportedCut = !cut;
        EXPECT_EQ(CopyProfileSection({"ab=1", "cd=22"}, buffer.data(), size, &reportedCut),
                  cut ? std::max(size, 1u) - 1 : 11u);
        EXPECT_EQ(buffer, list + std::string(20 - list.size(), '#')) << size;
        // 12 bytes hold the list exactly and return what a cut list returns in 12: size - 1.
        EXPECT_EQ(reportedCut, cut) << size;
    }
}

TEST(ProfileTextWrite, AddsKeysWhereTheEntriesEndAndRefusesWhatWouldCorruptTheFile) {
    const std::string crlf = "[Setting]\r\nTitle=T\r\n\r\n; countries\r\n[Country]\r\nA=1";
    const std::array<std::string, 4> cases[] = {
        {crlf, "Country", "B", crlf + "\r\nB=12"},
        {crlf, "Ports", "COM1", crlf + "\r\n[Ports]\r\nCOM1=12\r\n"},
        {"[S]\n; only a comment\n", "S", "K", "[S]\nK=12\n; only a comment\n"},
        {"\xEF\xBB\xBF", "S", "K", "\xEF\xBB\xBF[S]\r\nK=12\r\n"}};
    for (const auto& [text, section, key, expected] : cases) {
        EXPECT_EQ(WriteProfileValue(text, section, key, "12"), expected) << text << key;
    }
    const std::array<std::string, 3> corrupting[] = {
        {"S", "K", "1\n[Evil]"}, {"S", "K", std::string("1\0", 2)},
        {"S", "A=B", "1"},       {"S", "[T]", "1"},
        {"S", "  ", "1"},        {"S\r", "K", "1"},
        {"", "K", "1"}};
    for (const auto& [section, key, value] : corrupting) {
        EXPECT_FALSE(WriteProfileValue("[S]\nK=1\n", section, key, value)) << section << key;
    }
}

TEST(SettingsPath, OnlyADotInTheFileNameMarksTheExtensionAndTheResultFitsTheBuffer) {
    const std::string fits = "/" + std::string(250, 'a');  // 251 + ".DAT" = 255
    struct Case {
        std::string executable;
        std::string settings;  // empty: refused
        std::size_t size = kSettingsPathSize;
    };
    const Case cases[] = {{"C:\\Tools\\cset.exe", "C:\\Tools\\cset.DAT"},
                          {"C:\\Tools.old\\cset", "C:\\Tools.old\\cset.DAT"},
                          {"/a.b/c.d.e", "/a.b/c.d.DAT"},
                          {"/opt/.countryset", "/opt/.countryset.DAT"},
                          {"countryset", "countryset.DAT"},
                          {fits + ".exe", fits + ".DAT"},
                          {fits + "b", ""},
                          {"", ""},
                          {"/opt/", ""},
                          {std::string("/a\0b", 4), ""},
                          {"/opt/x/countryset", "", 10},
                          {"/x", "", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable);
        std::string guarded(kSettingsPathSize + 8, '#');
        EXPECT_EQ(MakeSettingsPath(c.executable, guarded.data(), c.size), !c.settings.empty());
        EXPECT_EQ(guarded.substr(0, c.size ? c.settings.size() + 1 : 0),
                  c.size ? c.settings + '\0' : "");
        EXPECT_EQ(guarded[c.size], '#');
    }
    EXPECT_EQ(ApplicationName("C:\\Tools.old\\cset.exe"), "cset");
    EXPECT_EQ(ApplicationName("/a.b/c.d.e"), "c.d");
}

TEST(PortDevices, PortsSectionOverridesTheSerialDefault) {
    constexpr char kPath[] = "/opt/x/countryset.DAT";
    MemoryProfile profile;
    profile.SetFile(kPath, "[Ports]\r\nCOM1=/dev/ttyUSB0\r\ncom3 = \r\nCOM12=/dev/pts/4\r\n");
    const char* const mapped[][2] = {{"COM1", "/dev/ttyUSB0"},
                                     {"COM3", "/dev/ttyS2"},
                                     {"COM12", "/dev/pts/4"},
                                     {"com20", "/dev/ttyS19"},
                                     {"/dev/pts/7", "/dev/pts/7"}};
    for (const auto& [port, device] : mapped) {
        EXPECT_EQ(PortDevicePath(profile, kPath, port), device) << port;
    }
    for (const char* port : {"COM0", "LPT1", "COM1x", "", "COM99999999999999999999"}) {
        EXPECT_EQ(PortDevicePath(profile, kPath, port), "") << port;
    }
    EXPECT_EQ(PortDevicePath(profile, "/elsewhere.DAT", "COM1"), "/dev/ttyS0");
}

namespace fs = std::filesystem;

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A settings file in a folder of its own, written through system calls that fail at step_ 1
// (a filling disk: each write goes half through, one of a single byte fails), 2 (fsync) or 3
// (rename).
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
    int Rename(const char* from, const char* to) override {
        return step_ == 3 ? Fail(EXDEV) : FileWriteOps::Rename(from, to);
    }
    bool WriteKey(const char* value, int failingStep = 0) {
        step_ = failingStep;
        return ProfileFile(*this).WritePrivateProfileString("Setting", "CurrentSet", value, path_);
    }
    // No temporary file left beside the settings file.
    long FolderEntries() const { return std::distance(fs::directory_iterator(dir_), {}); }

    std::string dir_ = "/tmp/countryset-settings-XXXXXX";
    std::string path_;
    int step_ = 0;
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
    if (::geteuid() != 0) {  // root writes into read-only folders
        fs::permissions(dir_, fs::perms{0555});
        EXPECT_FALSE(WriteKey("3"));
        EXPECT_EQ(Get(path_), kOriginal);
        fs::permissions(dir_, fs::perms{0755});
    }
    EXPECT_TRUE(WriteKey("2"));
    EXPECT_TRUE(ProfileFile().WritePrivateProfileString("setting", "CurrentCOM", "1", path_));
    EXPECT_EQ(Get(path_),
              "[Setting]\r\n; last choice\r\nTitle=Country Setting\r\nCurrentSet = 2  \r\n"
              "CurrentCOM=1\r\n\r\n[Country]\r\nFrance=22\r\n");
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms{0640});
    EXPECT_EQ(FolderEntries(), 1);

    // A file that cannot be read is not replaced by one holding only the key.
    fs::remove(path_);
    fs::create_directory(path_);
    EXPECT_FALSE(WriteKey("3"));
    EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(ProfileFileTest, LinkedFileStaysALinkButALinkPlantedByAnotherUserIsNotFollowed) {
    fs::create_symlink("real.DAT", path_);
    // The first write creates the missing target, a new file with CRLF line breaks.
    for (const std::string value : {"0", "4"}) {
        EXPECT_TRUE(WriteKey(value.c_str()));
        EXPECT_EQ(Get(dir_ + "/real.DAT"), "[Setting]\r\nCurrentSet=" + value + "\r\n");
    }
    EXPECT_TRUE(fs::is_symlink(path_));
    if (::lchown(path_.c_str(), 12345, 12345) != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    EXPECT_FALSE(WriteKey("5"));
    EXPECT_EQ(Get(dir_ + "/real.DAT"), "[Setting]\r\nCurrentSet=4\r\n");
}

}  // namespace
}  // namespace countryset
