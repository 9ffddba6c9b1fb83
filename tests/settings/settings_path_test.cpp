#include "settings/settings_path.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace countryset {
namespace {

std::string SettingsPathOf(std::string_view executable) {
    char path[kSettingsPathSize];
    EXPECT_TRUE(MakeSettingsPath(executable, path)) << executable;
    return path;
}

TEST(SettingsPath, OnlyADotInTheFileNameMarksTheExtension) {
    EXPECT_EQ(SettingsPathOf("C:\\Tools\\cset.exe"), "C:\\Tools\\cset.DAT");
    EXPECT_EQ(SettingsPathOf("/opt/x/countryset"), "/opt/x/countryset.DAT");
    EXPECT_EQ(SettingsPathOf("/opt/tools.v2/countryset"), "/opt/tools.v2/countryset.DAT");
    EXPECT_EQ(SettingsPathOf("C:\\Tools.old\\cset"), "C:\\Tools.old\\cset.DAT");
    EXPECT_EQ(SettingsPathOf("/a.b/c.d.e"), "/a.b/c.d.DAT");
    EXPECT_EQ(SettingsPathOf("/opt/.countryset"), "/opt/.countryset.DAT");
    EXPECT_EQ(SettingsPathOf("countryset"), "countryset.DAT");

    EXPECT_EQ(ApplicationName("C:\\Tools\\cset.exe"), "cset");
    EXPECT_EQ(ApplicationName("/opt/tools.v2/countryset"), "countryset");
}

TEST(SettingsPath, TooLongOrUnusablePathsFailWithinTheBuffer) {
    const std::string fits = "/" + std::string(250, 'a');  // 251 + ".DAT" = 255
    EXPECT_EQ(SettingsPathOf(fits + ".exe"), fits + ".DAT");

    std::array<char, kSettingsPathSize + 8> guarded;
    for (const std::string& bad :
         {fits + "b", std::string(), std::string("/opt/"), std::string("/opt/a\0b", 8)}) {
        guarded.fill('#');
        EXPECT_FALSE(MakeSettingsPath(bad, guarded.data(), kSettingsPathSize)) << bad.size();
        EXPECT_EQ(guarded[0], '\0');
        EXPECT_EQ(guarded[kSettingsPathSize], '#');
    }
    // A smaller buffer than the usual one bounds the result too.
    guarded.fill('#');
    EXPECT_FALSE(MakeSettingsPath("/opt/x/countryset", guarded.data(), 10));
    EXPECT_EQ(guarded[10], '#');
    guarded.fill('#');
    EXPECT_FALSE(MakeSettingsPath("/x", guarded.data(), 0));
    EXPECT_EQ(guarded[0], '#');
}

TEST(SettingsPath, ExecutablePathNamesThisRunningProgram) {
    const std::string path = ExecutablePath("fallback");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(ApplicationName(path), "settings_tests");
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
}

}  // namespace
}  // namespace countryset
