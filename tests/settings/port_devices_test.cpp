#include "settings/port_devices.h"

#include <gtest/gtest.h>

#include "settings/memory_profile.h"

namespace countryset {
namespace {

constexpr char kPath[] = "/opt/x/countryset.DAT";

TEST(PortDevices, PortsSectionOverridesTheSerialDefault) {
    MemoryProfile profile;
    profile.SetFile(kPath, "[Ports]\r\nCOM1=/dev/ttyUSB0\r\ncom3 = \r\nCOM12=/dev/pts/4\r\n");
    EXPECT_EQ(PortDevicePath(profile, kPath, "COM1"), "/dev/ttyUSB0");
    EXPECT_EQ(PortDevicePath(profile, kPath, "COM2"), "/dev/ttyS1");
    EXPECT_EQ(PortDevicePath(profile, kPath, "COM3"), "/dev/ttyS2");  // empty entry
    EXPECT_EQ(PortDevicePath(profile, kPath, "COM12"), "/dev/pts/4");
    EXPECT_EQ(PortDevicePath(profile, "/elsewhere.DAT", "COM1"), "/dev/ttyS0");
}

TEST(PortDevices, OtherNamesMapSensiblyOrToNothing) {
    MemoryProfile profile;
    EXPECT_EQ(PortDevicePath(profile, kPath, "com20"), "/dev/ttyS19");
    EXPECT_EQ(PortDevicePath(profile, kPath, "/dev/pts/7"), "/dev/pts/7");
    for (const char* name : {"COM0", "COM", "LPT1", "COM1x", "", "COM99999999999999999999"}) {
        EXPECT_EQ(PortDevicePath(profile, kPath, name), "") << name;
    }
}

TEST(MemoryProfileFake, SharesTheFileRulesRecordsWritesAndCanFailThem) {
    MemoryProfile profile;
    profile.SetFile(kPath, "[Setting]\nCurrentSet=1\n");
    EXPECT_EQ(profile.GetPrivateProfileInt("setting", "currentset", 0, kPath), 1);
    EXPECT_TRUE(profile.WritePrivateProfileString("Setting", "CurrentCOM", "2", kPath));
    EXPECT_EQ(profile.FileText(kPath), "[Setting]\nCurrentSet=1\nCurrentCOM=2\n");

    profile.SetWritesFail(true);
    EXPECT_FALSE(profile.WritePrivateProfileString("Setting", "CurrentSet", "5", kPath));
    EXPECT_EQ(profile.FileText(kPath), "[Setting]\nCurrentSet=1\nCurrentCOM=2\n");
    EXPECT_FALSE(profile.FileText("/missing.DAT"));

    ASSERT_EQ(profile.Writes().size(), 2u);
    EXPECT_EQ(profile.Writes()[1].key, "CurrentSet");
    EXPECT_EQ(profile.Writes()[1].text, "5");
    EXPECT_FALSE(profile.Writes()[1].succeeded);
}

}  // namespace
}  // namespace countryset
