// The serial link's waiting rules, on the fake port and its virtual clock.
#include "fake.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

namespace {

class SerialTiming : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    }
};

TEST_F(SerialTiming, ReadOnSilentLineWaitsFirstByteTimeThenReturnsNothing)
{
    unsigned char buffer[4];
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 4), 0);
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(SerialTiming, ReadOfBurstShorterThanCountEndsAfterGap)
{
    fake::DeliverAt(100, {1, 2, 3, 4, 5}, 1);
    unsigned char buffer[10] = {};
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 10), 5);
    EXPECT_EQ(buffer[4], 5);
    // Fifth byte at 104; the read ends once more than 10 ms have passed.
    EXPECT_EQ(fake::Now(), 104u + 11u);
}

TEST_F(SerialTiming, ReadReturnsAtCountWithoutWaitingForGap)
{
    fake::DeliverAt(50, {7, 8, 9});
    unsigned char buffer[2] = {};
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 2);
    EXPECT_EQ(fake::Now(), 50u);
    EXPECT_EQ(fake::PendingCount(), 1u);
}

TEST_F(SerialTiming, ByteAfterGapIsLeftForNextRead)
{
    fake::DeliverAt(0, {1});
    fake::DeliverAt(20, {2});
    unsigned char buffer[2] = {};
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 1);
    EXPECT_EQ(ReadBytes(&gSerialPort, buffer, 2), 1);
    EXPECT_EQ(buffer[0], 2);
}

TEST_F(SerialTiming, ReadWithDeadlineOnSilentLineLastsOneFullRead)
{
    unsigned char byte = 0;
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 2000), 0);
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(SerialTiming, ReadWithDeadlineWhoseWaitEndsAtBudgetStartsAnother)
{
    unsigned char byte = 0;
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 4000), 0);
    EXPECT_EQ(fake::Now(), 8000u);
}

TEST_F(SerialTiming, ReadWithDeadlineCollectsAcrossReads)
{
    fake::DeliverAt(0, {1, 2});
    fake::DeliverAt(500, {3, 4});
    unsigned char buffer[4] = {};
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, buffer, 4, 2000), 4);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(fake::Now(), 500u);
}

TEST_F(SerialTiming, ReadWithDeadlineOfNothingReturnsAtOnce)
{
    unsigned char byte = 0;
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 0, 2000), 0);
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, -1, 2000), 0);
    EXPECT_EQ(fake::Now(), 0u);
}

TEST_F(SerialTiming, ReadWithDeadlineOnClosedPortWaitsOutItsBudgetWithoutSpinning)
{
    ClosePort(&gSerialPort);
    const int callsBefore = fake::PlatformCalls();
    unsigned char byte = 0;
    EXPECT_EQ(ReadWithDeadline(&gSerialPort, &byte, 1, 2000), 0);
    EXPECT_EQ(fake::Now(), 2001u);
    EXPECT_EQ(fake::PlatformCalls(), callsBefore);
}

struct ElapsedCase {
    uint32_t startMs;
    uint32_t nowMs;
    uint32_t durationMs;
    bool elapsed;
};

class HasElapsedCases : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(HasElapsedCases, ComparesUnsignedDifference)
{
    fake::Reset();
    const ElapsedCase& c = GetParam();
    fake::SetNow(c.nowMs);
    EXPECT_EQ(HasElapsed(c.startMs, c.durationMs), c.elapsed);
}

INSTANTIATE_TEST_SUITE_P(Clock, HasElapsedCases,
                         ::testing::Values(ElapsedCase{0, 30000, 30000, false},
                                           ElapsedCase{0, 30001, 30000, true},
                                           ElapsedCase{0xFFFFFF00u, 0x00000100u, 0x1FF, true},
                                           ElapsedCase{0xFFFFFF00u, 0x00000100u, 0x200, false},
                                           ElapsedCase{0xFFFFFFFFu, 0, 0, true},
                                           ElapsedCase{5, 5, 0, false}));

TEST(SerialPortState, ClosedPortTouchesNothing)
{
    fake::Reset();
    unsigned char byte = 0x55;
    EXPECT_EQ(ClosePort(&gSerialPort), 1);
    EXPECT_EQ(WriteBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(ReadBytes(&gSerialPort, &byte, 1), 0);
    EXPECT_EQ(BytesAvailable(&gSerialPort), 0);
    EXPECT_EQ(SetBaudRate(&gSerialPort, 115200), 0);
    EXPECT_EQ(fake::PlatformCalls(), 0);
    EXPECT_EQ(fake::Now(), 0u);
}

TEST(SerialPortState, DrainInputDiscardsWaitingBytesOnly)
{
    fake::Reset();
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    fake::DeliverAt(0, {1, 2, 3});
    fake::DeliverAt(50, {4});
    DrainInput();
    EXPECT_EQ(fake::PendingCount(), 1u);
    EXPECT_EQ(fake::Now(), 0u);
}

TEST(SerialPortState, DrainInputStopsWhenReadsDeliverNothing)
{
    fake::Reset();
    ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    fake::OverstateAvailable(3);
    DrainInput();    // must come back although the count never drops to 0
    EXPECT_EQ(fake::Now(), 4000u);
}

}  // namespace
