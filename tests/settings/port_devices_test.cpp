#include "settings/port_devices.h"

#include <gtest/gtest.h>

#include "settings/memory_profile.h"

namespace countryset {
namespace {

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

}  // namespace
}  // namespace countryset
