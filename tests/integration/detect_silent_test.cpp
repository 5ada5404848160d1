// Device detection over the real POSIX serial backend on a bare
// pseudo-terminal whose far end the test holds and never answers. Real time.
#include "protocol/detect.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DetectOnSilentLine : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;

    void SetUp() override
    {
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        setenv("TLXUP_PORTS", name, 1);
        ASSERT_EQ(OpenPort(&gSerialPort, 1, kApplicationBaud), 1);
        gUpdateState.currentBaud = kApplicationBaud;
    }

    void TearDown() override
    {
        ClosePort(&gSerialPort);
        close(slave);
        close(master);
        unsetenv("TLXUP_PORTS");
    }

    std::vector<unsigned char> TakeWritten()
    {
        std::vector<unsigned char> got;
        unsigned char buffer[512];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                break;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
};

TEST_F(DetectOnSilentLine, NothingAnswersAndThePortGoesBackToTheApplicationRate)
{
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(DetectDevice(), 6);
    const long long tookMs = MsSince(start);
    std::printf("detection on a silent port took %lld ms\n", tookMs);
    RecordProperty("silent_detection_ms", std::to_string(tookMs));

    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    termios settings{};
    ASSERT_EQ(tcgetattr(slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B19200));

    std::vector<unsigned char> expected = {'^', 'V', '$'};
    expected.insert(expected.end(), 256, 0x00);
    expected.insert(expected.end(), {0x03, 0x26, 0x26});
    EXPECT_EQ(TakeWritten(), expected);
}

}  // namespace
