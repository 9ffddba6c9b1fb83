#include "settings/settings_path.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace countryset {
namespace {

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
        std::array<char, kSettingsPathSize + 8> guarded;
        guarded.fill('#');
        EXPECT_EQ(MakeSettingsPath(c.executable, guarded.data(), c.size), !c.settings.empty());
        EXPECT_EQ(std::string(guarded.data(), c.size ? c.settings.size() + 1 : 0),
                  c.size ? c.settings + '\0' : "");
        EXPECT_EQ(guarded[c.size], '#');
    }
    EXPECT_EQ(ApplicationName("C:\\Tools.old\\cset.exe"), "cset");
    EXPECT_EQ(ApplicationName("/a.b/c.d.e"), "c.d");
}

}  // namespace
}  // namespace countryset
