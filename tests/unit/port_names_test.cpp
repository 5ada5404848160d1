// COM numbers to device paths on POSIX systems.
#include "serial/port_names.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct ListCase {
    const char* list;
    unsigned port;
    const char* path;    // null: no such port
};

class PortList : public ::testing::TestWithParam<ListCase> {};

TEST_P(PortList, PicksTheEntryOfThePortNumber)
{
    const ListCase& c = GetParam();
    char path[kPortPathCapacity] = "unchanged";
    const int found = PortPathFromList(c.list, c.port, path, sizeof path);
    if (c.path == nullptr) {
        EXPECT_EQ(found, 0);
    } else {
        ASSERT_EQ(found, 1);
        EXPECT_STREQ(path, c.path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PortList,
    ::testing::Values(ListCase{"/dev/pts/3", 1, "/dev/pts/3"}, ListCase{"/dev/pts/3", 2, nullptr},
                      ListCase{":/dev/pts/7", 1, nullptr}, ListCase{":/dev/pts/7", 2, "/dev/pts/7"},
                      ListCase{"a:b:c", 3, "c"}, ListCase{"a:b:c", 4, nullptr}, ListCase{"a::c", 2, nullptr},
                      ListCase{"a:b:", 3, nullptr}, ListCase{"", 1, nullptr}, ListCase{"a", 0, nullptr}));

TEST(PortList, EntryLongerThanTheBufferIsNoPort)
{
    char path[8];
    EXPECT_EQ(PortPathFromList("/dev/ttyUSB0", 1, path, sizeof path), 0);
    EXPECT_EQ(PortPathFromList("/dev/tt", 1, path, sizeof path), 1);
}

class SystemPorts : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char pattern[] = "/tmp/tlxports.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        mkdir((root + "/dev").c_str(), 0755);
        mkdir((root + "/sys").c_str(), 0755);
    }

    void TearDown() override { std::system(("rm -rf " + root).c_str()); }

    void Device(const std::string& name) { std::ofstream(root + "/dev/" + name).put('x'); }

    void Hardware(const std::string& name, const std::string& subsystem)
    {
        const std::string dir = root + "/sys/" + name;
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/device").c_str(), 0755);
        ASSERT_EQ(symlink(("../../../bus/" + subsystem).c_str(), (dir + "/device/subsystem").c_str()), 0);
    }
};

TEST_F(SystemPorts, UsbFirstThenAcmThenSerialPortsWithHardware)
{
    Device("ttyS0");
    Hardware("ttyS0", "platform");    // a placeholder without a UART
    Device("ttyS1");
    Hardware("ttyS1", "pnp");
    Device("ttyS2");                  // no sysfs device at all
    Device("ttyACM0");
    Device("ttyUSB10");
    Device("ttyUSB2");
    Device("ttyAMA0");
    Hardware("ttyAMA0", "amba");

    char paths[8][kPortPathCapacity];
    ASSERT_EQ(ListSystemPorts((root + "/dev").c_str(), (root + "/sys").c_str(), paths, 8), 5);
    EXPECT_EQ(std::string(paths[0]), root + "/dev/ttyUSB2");
    EXPECT_EQ(std::string(paths[1]), root + "/dev/ttyUSB10");
    EXPECT_EQ(std::string(paths[2]), root + "/dev/ttyACM0");
    EXPECT_EQ(std::string(paths[3]), root + "/dev/ttyS1");
    EXPECT_EQ(std::string(paths[4]), root + "/dev/ttyAMA0");
}

TEST_F(SystemPorts, StopsAtCapacity)
{
    Device("ttyUSB0");
    Device("ttyUSB1");
    char paths[1][kPortPathCapacity];
    EXPECT_EQ(ListSystemPorts((root + "/dev").c_str(), (root + "/sys").c_str(), paths, 1), 1);
}

TEST(PortDevicePath, ListInEnvironmentWins)
{
    setenv("TLXUP_PORTS", ":/dev/pts/9", 1);
    char path[kPortPathCapacity];
    EXPECT_EQ(PortDevicePath(1, path, sizeof path), 0);
    ASSERT_EQ(PortDevicePath(2, path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/pts/9");
    EXPECT_EQ(PortDevicePath(3, path, sizeof path), 0);
    unsetenv("TLXUP_PORTS");
}

}  // namespace
