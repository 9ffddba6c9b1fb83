// The settings layer: profile text, the settings file on disk, its path and the port devices.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>

#include "fakes/memory_profile.h"
#include "seams/port_name.h"
#include "settings/port_devices.h"
#include "settings/profile_file.h"
#include "settings/profile_text.h"
#include "settings/settings_files.h"
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
        // The last text in the buffer is a cut entry when it is none of the two (an empty text
        // reads as the list's end). 12 bytes hold the list exactly and return what a cut list
        // returns: size - 1.
        const std::string_view placed(list.data(), list.size() >= 2 ? list.size() - 2 : 0);
        const std::string_view last = placed.substr(placed.rfind('\0') + 1);
        const bool lastCut = !last.empty() && last != "ab=1" && last != "cd=22";
        bool reportedCut = !lastCut;
        EXPECT_EQ(CopyProfileSection({"ab=1", "cd=22"}, buffer.data(), size, &reportedCut),
                  cut ? std::max(size, 1u) - 1 : 11u);
        EXPECT_EQ(buffer, list + std::string(20 - list.size(), '#')) << size;
        EXPECT_EQ(reportedCut, lastCut) << size;
    }
}

// A "]" in a comment after the header must not hide the section or rename it.
TEST(ProfileTextRead, SectionNameEndsAtItsFirstBracket) {
    const char* const headers[] = {"[Country] ; T.35 codes [hex]", "[Country]]", "[ Country ]x]"};
    for (const char* header : headers) {
        const std::string text = std::string(header) + "\r\nFrance=3D\r\n";
        char buffer[32];
        EXPECT_EQ(ReadProfileSection(text, "Country", buffer, sizeof buffer), 10u) << header;
        EXPECT_STREQ(buffer, "France=3D");
        EXPECT_EQ(WriteProfileValue(text, "country", "France", "42"),
                  std::string(header) + "\r\nFrance=42\r\n");
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
    // Two keys in one text: each where one write alone would put it, new ones in list order.
    const ProfileKeyText pair[] = {{"CurrentSet", "2"}, {"CurrentCOM", "3"}};
    const std::array<std::string, 2> pairs[] = {
        {"[Setting]\nCurrentCOM=1\nX=y\nCurrentSet = 0 \n[Country]\n",
         "[Setting]\nCurrentCOM=3\nX=y\nCurrentSet = 2 \n[Country]\n"},
        {"[Setting]\nCurrentSet=0\n\n[Country]\n",
         "[Setting]\nCurrentSet=2\nCurrentCOM=3\n\n[Country]\n"},
        {"[Setting]\r\nTitle=T", "[Setting]\r\nTitle=T\r\nCurrentSet=2\r\nCurrentCOM=3"},
        {"[Setting]\r\nCurrentSet=", "[Setting]\r\nCurrentSet=2\r\nCurrentCOM=3"},
        {"[Country]\nA=1", "[Country]\nA=1\n[Setting]\nCurrentSet=2\nCurrentCOM=3\n"}};
    for (const auto& [text, expected] : pairs) {
        EXPECT_EQ(WriteProfileValues(text, "Setting", pair), expected) << text;
    }
    const ProfileKeyText twice[] = {{"CurrentSet", "2"}, {"currentset ", "3"}};
    EXPECT_FALSE(WriteProfileValues("[Setting]\n", "Setting", twice));
    const std::array<std::string, 3> corrupting[] = {
        {"S", "K", "1\n[Evil]"}, {"S", "K", std::string("1\0", 2)},
        {"S", "A=B", "1"},       {"S", "[T]", "1"},
        {"S", "  ", "1"},        {"S\r", "K", "1"},
        {"", "K", "1"},          {"S]x", "K", "1"}};
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

TEST(PortDevices, PortNamesAreComOneTo256InAnyCase) {
    const std::pair<std::string_view, int> cases[] = {
        {"COM1", 1},
        {"com8", 8},
        {"cOm9", 9},
        {"COM12", 12},
        {"COM256", 256},
        {"COM0", 0},
        {"COM257", 0},
        {"COM01", 0},
        {"COM012", 0},
        {"COM", 0},
        {"COM3x", 0},
        {"COM+3", 0},
        {"COM 3", 0},
        {"LPT1", 0},
        {"\\\\.\\COM3", 0},
        {"COM1000", 0},
        {"", 0},
        {"CON1", 0},
        {"COM99999999999999999999", 0},
        {std::string_view("COM3\0", 5), 0},
    };
    for (const auto& [name, number] : cases) {
        EXPECT_EQ(ComPortNumber(name), number) << name;
    }
}

TEST(PortDevices, EachSystemTakesThePortsEntriesWrittenForIt) {
    constexpr char kPath[] = "/opt/x/countryset.DAT";
    MemoryProfile profile;
    profile.SetFile(kPath,
                    "[Ports]\r\nCOM1=/dev/ttyUSB0\r\ncom3 = \r\nCOM12=/dev/pts/4\r\n"
                    "COM2=com12\r\nCOM4=\\\\.\\CNCA0\r\nCOM5=\\\\.\\COM7\r\n"
                    "COM6=\\\\.\\..\\x\r\nCOM7=C:\\COM3\r\nCOM8=COM300\r\n");
    struct Case {
        const char* port;
        const char* linux;
        const char* windows;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyUSB0", "\\\\.\\COM1"},
        {"COM2", "/dev/ttyS1", "\\\\.\\COM12"},
        {"COM3", "/dev/ttyS2", "\\\\.\\COM3"},
        {"COM4", "/dev/ttyS3", "\\\\.\\CNCA0"},
        {"COM5", "/dev/ttyS4", "\\\\.\\COM7"},
        // No port name for either system: each takes its own default.
        {"COM6", "/dev/ttyS5", "\\\\.\\COM6"},
        {"COM7", "/dev/ttyS6", "\\\\.\\COM7"},
        {"COM8", "/dev/ttyS7", "\\\\.\\COM8"},
        {"COM12", "/dev/pts/4", "\\\\.\\COM12"},
        // Above the list Linux guesses no device.
        {"com20", "", "\\\\.\\COM20"},
        {"COM256", "", "\\\\.\\COM256"},
        {"/dev/pts/7", "/dev/pts/7", ""},
        {"COM0", "", ""},
        {"COM257", "", ""},
        {"LPT1", "", ""},
        {"COM1x", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortDevicePath(profile, kPath, c.port), c.linux) << c.port;
        EXPECT_EQ(WindowsPortDevicePath(profile, kPath, c.port), c.windows) << c.port;
    }
    EXPECT_EQ(PortDevicePath(profile, "/elsewhere.DAT", "COM1"), "/dev/ttyS0");
    EXPECT_EQ(WindowsPortDevicePath(profile, "/elsewhere.DAT", "COM2"), "\\\\.\\COM2");
    const std::string longest = "\\\\.\\" + std::string(64, 'A');
    EXPECT_EQ(WindowsDeviceName(longest), longest);
    EXPECT_EQ(WindowsDeviceName(longest + "A"), "");
    EXPECT_EQ(WindowsDeviceName("\\\\.\\"), "");
    EXPECT_EQ(WindowsDeviceName("\\\\?\\COM3"), "");
}

TEST(ProfileFile, ReadsFilesAsOtherDesktopToolsLeaveThem) {
    const testing::TempFolder folder("countryset-settings-");
    const std::string path = folder / "countryset.DAT";
    char buffer[256];
    // No file: every key takes its default, and that is no problem.
    ProfileFile missing;
    EXPECT_EQ(missing.GetPrivateProfileString("S", "T", "Dflt", buffer, 256, path), 4u);
    EXPECT_STREQ(buffer, "Dflt");
    EXPECT_EQ(missing.GetPrivateProfileSection("Country", buffer, sizeof buffer, path), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(missing.ReadProblem(path), "");
    EXPECT_EQ(ProfileFile().ReadProblem(folder / "no/such/folder.DAT"), "");
    // Byte-order mark, CRLF, lone CR and LF, comments, stray blanks and quotes, repeated names.
    testing::Put(testing::FromUtf8(path),
                 "\xEF\xBB\xBF[ Setting ]\r\n; dialog texts\r\n  Title =  Country Setting  \r\n"
                 "GroupText=\r\nStaticText=\"  quoted  \"\r\ntitle=second\r\nNumOfCountry=3\r\n"
                 "Lone=v\rLf=w\n\r\n[Country]\r\nFrance = 22\r\n; Germany=49\r\nnot an entry  \r\n"
                 "Code=a=b\r\n[setting]\r\nCurrentCOM=7\r\n");
    ProfileFile profile;
    std::string texts;
    for (const char* key : {"TITLE", "GroupText", "StaticText", "Lone", "Lf", "Missing"}) {
        profile.GetPrivateProfileString("setting", key, "DEF", buffer, sizeof buffer, path);
        texts += std::string(buffer) + "|";
    }
    EXPECT_EQ(texts, "Country Setting||  quoted  |v|w|DEF|");
    // Only the first section of a name counts.
    EXPECT_EQ(profile.GetPrivateProfileInt("Setting", "CurrentCOM", 1, path), 1);
    const char entries[] = "France=22\0not an entry\0Code=a=b\0";
    ASSERT_EQ(profile.GetPrivateProfileSection("COUNTRY", buffer, sizeof buffer, path),
              sizeof entries - 1);
    EXPECT_EQ(std::memcmp(buffer, entries, sizeof entries), 0);
    EXPECT_EQ(profile.ReadProblem(path), "");
}

}  // namespace
}  // namespace countryset
