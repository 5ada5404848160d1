// The POSIX serial backend over a real pseudo-terminal pair, in real time.
// The test holds the master side and plays the device; the program's port
// is the slave side, reached as COM1 through TLXUP_PORTS.
#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PtyPort : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    std::string path;

    void SetUp() override
    {
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        setenv("TLXUP_PORTS", path.c_str(), 1);
    }

    void TearDown() override
    {
        ClosePort(&gSerialPort);
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
        unsetenv("TLXUP_PORTS");
    }

    void Send(const std::vector<unsigned char>& bytes)
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<unsigned char> Receive(size_t count, int timeoutMs = 1000)
    {
        std::vector<unsigned char> got;
        const auto start = Clock::now();
        while (got.size() < count && MsSince(start) < timeoutMs) {
            struct pollfd entry = {master, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0)
                continue;
            unsigned char buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    struct termios LineSettings()
    {
        struct termios settings = {};
        EXPECT_EQ(tcgetattr(slave, &settings), 0);
        return settings;
    }
};

TEST_F(PtyPort, OpenSetsTheLineAndKeepsParityAndStopBits)
{
    struct termios before = LineSettings();
    before.c_cflag |= PARENB | CSTOPB;
    before.c_iflag |= IXON | IXOFF | ICRNL;
    before.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    before = LineSettings();    // a pseudo-terminal refuses parity; compare with what it kept

    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    const struct termios after = LineSettings();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B19200));
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(after.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(after.c_cflag & (PARENB | PARODD), before.c_cflag & (PARENB | PARODD));
    EXPECT_EQ(after.c_iflag & (INPCK | IGNPAR), before.c_iflag & (INPCK | IGNPAR));
    EXPECT_NE(after.c_cflag & CSTOPB, 0u);
}

TEST_F(PtyPort, PortNumberWithoutDeviceFailsAndStaysClosed)
{
    EXPECT_EQ(OpenPort(&gSerialPort, 2, 19200), 0);
    const unsigned char byte = 1;
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    setenv("TLXUP_PORTS", "/nonexistent/tty", 1);
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 0);
}

TEST_F(PtyPort, PortHeldByAnotherProgramCannotBeOpened)
{
    const int other = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 0);
    close(other);
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
}

TEST_F(PtyPort, OpenPortIsExclusiveWhileOpen)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    const int other = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {    // root may open it despite TIOCEXCL; the lock still says no
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    ClosePort(&gSerialPort);
    const int again = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(again, 0);
    EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
    close(again);
}

TEST_F(PtyPort, OpenWhileOpenKeepsTheRate)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(OpenPort(&gSerialPort, 7, 19200), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Com7 already open!\n");
    const struct termios settings = LineSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
}

TEST_F(PtyPort, EveryByteValuePassesUntranslatedBothWays)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(WriteBytes(&gSerialPort, all.data(), 256), 256);
    EXPECT_EQ(Receive(256), all);

    Send(all);
    std::vector<unsigned char> got(256);
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, got.data(), 256, 2000), 256);
    EXPECT_EQ(got, all);
}

TEST_F(PtyPort, ReadOfBurstReturnsAboutTenMsAfterLastByte)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    Send({1, 2, 3, 4, 5});
    unsigned char buffer[10] = {};
    const auto start = Clock::now();
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 10), 5);
    const long long ms = MsSince(start);
    EXPECT_GE(ms, 10);
    EXPECT_LT(ms, 200);
    EXPECT_EQ(buffer[4], 5);
}

TEST_F(PtyPort, GapOfMoreThanTenMsEndsRead)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    Send({1, 2});
    unsigned char buffer[4] = {};
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 2);
    Send({3});
    usleep(40000);
    Send({4});
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 2) << "both bytes were already waiting";
}

TEST_F(PtyPort, BytesAvailableCountsWaitingInput)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    Send({9, 9, 9});
    usleep(20000);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 3);
    DrainInput();
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
}

TEST_F(PtyPort, SilentReadGivesUpAfterFourSeconds)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    unsigned char byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 2000), 0);
    const long long ms = MsSince(start);
    EXPECT_GE(ms, 3990);
    EXPECT_LT(ms, 4600);
}

TEST_F(PtyPort, RefusedRateClosesThePort)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    EXPECT_EQ(SetBaudRate(&gSerialPort, 12345), 0);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    const unsigned char byte = 1;
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(ClosePort(&gSerialPort), 1);
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 1) << "the port was released";
}

TEST_F(PtyPort, SetBaudRateChangesOnlyTheRate)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    ASSERT_EQ(SetBaudRate(&gSerialPort, 115200), 1);
    const struct termios settings = LineSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_lflag & ICANON, 0u);
}

TEST_F(PtyPort, VanishedDeviceMakesOperationsFailWithoutHanging)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    close(master);
    master = -1;
    close(slave);
    slave = -1;
    unsigned char byte = 1;
    const auto start = Clock::now();
    EXPECT_EQ(ReadBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 300), 0);
    EXPECT_LT(MsSince(start), 1000);
}

}  // namespace
