#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "serial/PortNames.h"
#include "support/TempPortDir.h"

namespace {

TEST(PortNames, DefaultTableCoversThreeFamiliesOf32) {
    EXPECT_EQ(serial::DefaultPortDevice(1), "/dev/ttyS0");
    EXPECT_EQ(serial::DefaultPortDevice(32), "/dev/ttyS31");
    EXPECT_EQ(serial::DefaultPortDevice(33), "/dev/ttyUSB0");
    EXPECT_EQ(serial::DefaultPortDevice(35), "/dev/ttyUSB2");
    EXPECT_EQ(serial::DefaultPortDevice(64), "/dev/ttyUSB31");
    EXPECT_EQ(serial::DefaultPortDevice(65), "/dev/ttyACM0");
    EXPECT_EQ(serial::DefaultPortDevice(96), "/dev/ttyACM31");
    EXPECT_EQ(serial::DefaultPortDevice(97), "");
    EXPECT_EQ(serial::DefaultPortDevice(0), "");
    EXPECT_EQ(serial::DefaultPortDevice(-1), "");
}

TEST(PortNames, AnEntryOfThePortFolderOverridesTheDefault) {
    TestSupport::TempPortDir dir;
    const std::string entry = dir.Path() + "/COM3";
    ASSERT_EQ(::symlink("/dev/null", entry.c_str()), 0);
    EXPECT_EQ(serial::PortDevicePath(3), entry);
    // Ports without an entry fall back to the table.
    EXPECT_EQ(serial::PortDevicePath(4), "/dev/ttyS3");
    EXPECT_EQ(serial::PortDevicePath(200), "");
    // A dangling link names no device.
    const std::string dangling = dir.Path() + "/COM40";
    ASSERT_EQ(::symlink("/nonexistent/device", dangling.c_str()), 0);
    EXPECT_EQ(serial::PortDevicePath(40), "/dev/ttyUSB7");
    EXPECT_EQ(serial::PortDevicePath(0), "");
    EXPECT_EQ(serial::PortDevicePath(1025), "");
}

}  // namespace
