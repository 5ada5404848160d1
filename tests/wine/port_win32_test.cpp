// The Win32 serial backend against a real port, in real time: the same
// cases as the POSIX backend's tests over a pseudo-terminal. It runs under
// Wine with COM1 led to a pseudo-terminal whose other side the driver
// (peer.py) holds; the driver plays the device on request, through lines
// on standard error and answers on standard input.
#include "serial/serial.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Sends one command to the device side and returns its answer line.
std::string Peer(const char* format, ...)
{
    char command[1200];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(command, sizeof command, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "@peer %s\n", command);
    std::fflush(stderr);
    char answer[1200] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr)
        return "no answer";
    std::string text = answer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string Hex(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

Bytes Unhex(const std::string& text)
{
    Bytes bytes;
    if (text == "-")
        return bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The value of `name` in the driver's "name=value ..." line settings.
int Setting(const std::string& settings, const std::string& name)
{
    const std::string key = " " + name + "=";
    const size_t at = (" " + settings).find(key);
    if (at == std::string::npos)
        return -1;
    return std::atoi(settings.c_str() + at + key.size() - 1);
}

long long NowMs()
{
    return static_cast<long long>(GetTickCount64());
}

// Windows' serial drivers keep a communications port to one handle at a
// time, which is what the backend relies on for exclusive use; Wine passes
// the open on to the device file and keeps no such rule.
bool UnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Opens COM1 directly, as another program would.
HANDLE OpenDirectly()
{
    return CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class Win32Port : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Peer("fresh"), "ok"); }

    void TearDown() override { ClosePort(&gSerialPort); }

    void Send(const Bytes& bytes, int afterMs = 0)
    {
        ASSERT_EQ(Peer("send %s %d", Hex(bytes).c_str(), afterMs), "ok");
    }

    Bytes Receive(size_t count, int timeoutMs = 1000)
    {
        return Unhex(Peer("recv %u %d", static_cast<unsigned>(count), timeoutMs));
    }
};

TEST_F(Win32Port, OpenSetsTheLineAndKeepsParityAndStopBits)
{
    ASSERT_EQ(Peer("preset parenb cstopb ixon ixoff crtscts icrnl"), "ok");
    const std::string before = Peer("settings");    // a pseudo-terminal may refuse some

    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    const std::string after = Peer("settings");
    EXPECT_EQ(Setting(after, "ospeed"), 19200) << after;
    EXPECT_EQ(Setting(after, "ispeed"), 19200) << after;
    EXPECT_EQ(Setting(after, "csize"), 8) << after;
    EXPECT_EQ(Setting(after, "ixon"), 0) << after;
    EXPECT_EQ(Setting(after, "ixoff"), 0) << after;
    EXPECT_EQ(Setting(after, "crtscts"), 0) << after;
    EXPECT_EQ(Setting(after, "icrnl"), 0) << after;
    EXPECT_EQ(Setting(after, "istrip"), 0) << after;
    EXPECT_EQ(Setting(after, "opost"), 0) << after;
    EXPECT_EQ(Setting(after, "icanon"), 0) << after;
    EXPECT_EQ(Setting(after, "echo"), 0) << after;
    EXPECT_EQ(Setting(after, "parenb"), Setting(before, "parenb")) << before << " / " << after;
    EXPECT_EQ(Setting(after, "cstopb"), Setting(before, "cstopb")) << before << " / " << after;
}

TEST_F(Win32Port, PortWithoutDeviceFailsAndStaysClosed)
{
    EXPECT_EQ(OpenPort(&gSerialPort, 42, 19200), 0);    // no such port in the prefix
    const unsigned char byte = 1;
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    ASSERT_EQ(Peer("unplug"), "ok");
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 0);
    ASSERT_EQ(Peer("plug"), "ok");
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
}

TEST_F(Win32Port, PortHeldByAnotherProgramCannotBeOpened)
{
    if (UnderWine())
        GTEST_SKIP() << "Wine does not keep a communications port to one handle";
    const HANDLE other = OpenDirectly();
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 0);
    CloseHandle(other);
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
}

TEST_F(Win32Port, OpenPortIsExclusiveWhileOpen)
{
    if (UnderWine())
        GTEST_SKIP() << "Wine does not keep a communications port to one handle";
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    const HANDLE other = OpenDirectly();
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);
    ClosePort(&gSerialPort);
    const HANDLE again = OpenDirectly();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE)
        CloseHandle(again);
}

TEST_F(Win32Port, OpenWhileOpenKeepsTheRate)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(OpenPort(&gSerialPort, 7, 19200), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Com7 already open!\n");
    EXPECT_EQ(Setting(Peer("settings"), "ospeed"), 115200);
}

TEST_F(Win32Port, EveryByteValuePassesUntranslatedBothWays)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(WriteBytes(&gSerialPort, all.data(), 256), 256);
    EXPECT_EQ(Receive(256), all);

    Send(all);
    Bytes got(256);
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, got.data(), 256, 2000), 256);
    EXPECT_EQ(got, all);
}

TEST_F(Win32Port, WriteReturnsWhenItsBytesHaveLeft)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    const Bytes packet = {0x03, 0x26, 0x26};
    EXPECT_EQ(WriteBytes(&gSerialPort, packet.data(), 3), 3);
    EXPECT_EQ(Receive(3, 200), packet) << "the bytes were on their way when the write returned";
    EXPECT_EQ(WriteBytes(&gSerialPort, packet.data(), 0), 0);
}

TEST_F(Win32Port, ReadOfBurstReturnsAboutTenMsAfterLastByte)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    Send({1, 2, 3, 4, 5});
    unsigned char buffer[10] = {};
    Sleep(50);
    const long long start = NowMs();
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 10), 5);
    const long long ms = NowMs() - start;
    EXPECT_GE(ms, 9);
    EXPECT_LT(ms, 200);
    EXPECT_EQ(buffer[4], 5);
}

TEST_F(Win32Port, ReadReturnsAtItsCountAndKeepsTheRest)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    Send({1, 2, 3, 4, 5});
    unsigned char buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, buffer, 3, 1000), 3);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(buffer[3], 0xEE) << "nothing past the count";
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 4), 2);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[1], 5);
}

TEST_F(Win32Port, GapOfMoreThanTenMsEndsRead)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    Send({3});
    Send({4}, 100);
    unsigned char buffer[2] = {};
    const long long start = NowMs();
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 1);
    EXPECT_LT(NowMs() - start, 90) << "the read waited for the late byte";
    EXPECT_EQ(buffer[0], 3);
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 1);
    EXPECT_EQ(buffer[0], 4);
}

TEST_F(Win32Port, BytesAvailableCountsWaitingInput)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    Send({9, 9, 9});
    Sleep(50);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 3);
    DrainInput();
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
}

TEST_F(Win32Port, SilentReadGivesUpAfterFourSeconds)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    unsigned char byte = 0;
    const long long start = NowMs();
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 2000), 0);
    const long long ms = NowMs() - start;
    EXPECT_GE(ms, 3990);
    EXPECT_LT(ms, 4600);
}

TEST_F(Win32Port, ReadThatTimedOutNeverTouchesItsBuffer)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    unsigned char buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 4), 0);
    Send({1, 2, 3, 4});
    Sleep(200);
    for (unsigned char b : buffer)
        EXPECT_EQ(b, 0xEE) << "the cancelled read wrote into its buffer after it returned";
    unsigned char next[4] = {};
    EXPECT_EQ(ReadBytes(&gSerialPort, next, 4), 4) << "bytes after a cancelled read are kept";
    EXPECT_EQ(next[3], 4);
}

TEST_F(Win32Port, WriteThatCannotLeaveGivesUpAndNeverTouchesItsBuffer)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    // Nobody reads the other side, so the terminal's queues fill up.
    static unsigned char block[1 << 20];
    std::memset(block, 0x55, sizeof block);
    const long long start = NowMs();
    const int written = WriteBytes(&gSerialPort, block, static_cast<int>(sizeof block));
    const long long ms = NowMs() - start;
    EXPECT_LT(written, static_cast<int>(sizeof block));
    EXPECT_GE(ms, 3900);
    EXPECT_LT(ms, 6000);
    std::memset(block, 0xEE, sizeof block);
    const int arrived = std::atoi(Peer("drain").c_str());
    EXPECT_GE(arrived, written) << "fewer bytes arrived than the write reported";
    const Bytes after = Receive(16, 300);
    for (unsigned char b : after)
        EXPECT_NE(b, 0xEE) << "the cancelled write sent from its buffer after it returned";
}

// Windows drivers and Wine take almost any rate, so the rate change is made
// to fail the way it fails in the field: the adapter has gone.
TEST_F(Win32Port, FailedRateChangeClosesThePort)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    ASSERT_EQ(Peer("hangup"), "ok");
    EXPECT_EQ(SetBaudRate(&gSerialPort, 115200), 0);
    const long long start = NowMs();
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    unsigned char byte = 1;
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(ReadBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_LT(NowMs() - start, 100) << "the port was not closed";
    EXPECT_EQ(ClosePort(&gSerialPort), 1);
    ASSERT_EQ(Peer("fresh"), "ok");
    EXPECT_EQ(OpenPort(&gSerialPort, 1, 19200), 1) << "the port was released";
}

TEST_F(Win32Port, SetBaudRateChangesOnlyTheRate)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    ASSERT_EQ(SetBaudRate(&gSerialPort, 115200), 1);
    const std::string settings = Peer("settings");
    EXPECT_EQ(Setting(settings, "ospeed"), 115200) << settings;
    EXPECT_EQ(Setting(settings, "csize"), 8) << settings;
    EXPECT_EQ(Setting(settings, "icanon"), 0) << settings;
    EXPECT_EQ(Setting(settings, "ixon"), 0) << settings;
    ASSERT_EQ(SetBaudRate(&gSerialPort, 19200), 1);
    EXPECT_EQ(Setting(Peer("settings"), "ospeed"), 19200);
}

TEST_F(Win32Port, ClosedPortRefusesEverythingAtOnce)
{
    unsigned char byte = 1;
    const long long start = NowMs();
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(ReadBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    EXPECT_EQ(SetBaudRate(&gSerialPort, 19200), 0);
    EXPECT_EQ(ClosePort(&gSerialPort), 1);
    EXPECT_EQ(ClosePort(&gSerialPort), 1);
    EXPECT_LT(NowMs() - start, 100);
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    EXPECT_EQ(ClosePort(&gSerialPort), 1);
    EXPECT_EQ(ReadBytes(&gSerialPort, &byte, 1), 0);
}

TEST_F(Win32Port, VanishedDeviceMakesOperationsFailWithoutHanging)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    ASSERT_EQ(Peer("hangup"), "ok");
    unsigned char byte = 1;
    const long long start = NowMs();
    EXPECT_EQ(ReadBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    EXPECT_LT(NowMs() - start, 500);
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 300), 0);
    EXPECT_LT(NowMs() - start, 1000);
}

TEST(Win32Clock, ClockAdvancesWithPauses)
{
    const uint32_t start = ClockNow();
    PauseMs(50);
    const uint32_t passed = ClockNow() - start;
    EXPECT_GE(passed, 45u);
    EXPECT_LT(passed, 300u);
    EXPECT_TRUE(HasElapsed(start, 40));
    EXPECT_FALSE(HasElapsed(ClockNow(), 1000));
}

}  // namespace
