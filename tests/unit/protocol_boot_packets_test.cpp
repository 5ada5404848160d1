// Boot loader packets, commands, the information query and the zero-byte
// flush, on the fake port and its virtual clock.
#include "fake.h"
#include "protocol/boot_packets.h"
#include "protocol_fake_device.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testdevice::Packet;

class BootPacketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        ASSERT_EQ(OpenPort(&gSerialPort, 1, 115200), 1);
    }
};

// --- checksum and sending ------------------------------------------------------

TEST(BootPacketChecksum, SumsModulo256)
{
    const unsigned char bytes[] = {0xFF, 0x02, 0x10};
    EXPECT_EQ(PacketChecksum(bytes, 3), 0x11);
    EXPECT_EQ(PacketChecksum(bytes, 0), 0x00);
}

struct WireCase {
    Bytes data;
    Bytes wire;
    std::vector<int> writeSizes;
};

class BootPacketWire : public BootPacketTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(BootPacketWire, SizeChecksumAndDataGoOutInSeparateWrites)
{
    const WireCase& c = GetParam();
    EXPECT_EQ(SendPacket(c.data.data(), static_cast<int>(c.data.size()), 0, 2000), 0);
    EXPECT_EQ(fake::SentBytes(), c.wire);
    EXPECT_EQ(fake::WriteSizes(), c.writeSizes);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, BootPacketWire,
    ::testing::Values(WireCase{{0x23}, {0x03, 0x23, 0x23}, {1, 1, 1}},
                      WireCase{{0x26}, {0x03, 0x26, 0x26}, {1, 1, 1}},
                      WireCase{{}, {0x02, 0x00}, {1, 1}},
                      WireCase{{0x24, 0xF0, 0x20}, {0x05, 0x34, 0x24, 0xF0, 0x20}, {1, 1, 3}}));

TEST_F(BootPacketTest, SendWithoutAcknowledgementWaitReadsNothing)
{
    fake::Deliver(Bytes{0x33});
    const unsigned char data[] = {0x25};
    EXPECT_EQ(SendPacket(data, 1, 0, 500), 0);
    EXPECT_EQ(fake::PendingCount(), 1u);
    EXPECT_EQ(fake::Now(), 0u);
}

TEST_F(BootPacketTest, FullSizePacketGoesOut)
{
    unsigned char data[kMaxPacketData];
    for (int i = 0; i < kMaxPacketData; ++i)
        data[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(SendPacket(data, kMaxPacketData, 0, 2000), 0);
    const Bytes sent = fake::SentBytes();
    ASSERT_EQ(sent.size(), 255u);
    EXPECT_EQ(sent[0], 0xFF);
    EXPECT_EQ(sent[1], PacketChecksum(data, kMaxPacketData));
}

TEST_F(BootPacketTest, LengthNoSizeByteCanExpressWritesNothing)
{
    unsigned char data[256] = {};
    EXPECT_EQ(SendPacket(data, 254, 1, 2000), 1);
    EXPECT_EQ(SendPacket(data, -1, 1, 2000), 1);
    EXPECT_TRUE(fake::SentBytes().empty());
}

struct AckCase {
    Bytes answer;
    int status;
};

class BootPacketAck : public BootPacketTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(BootPacketAck, FirstByteOtherThanFillerDecides)
{
    const AckCase& c = GetParam();
    fake::SetResponder([&c](const uint8_t*, int count, int) {
        if (count == 1 && fake::SentBytes().size() == 3)
            fake::Deliver(c.answer);
    });
    const unsigned char data[] = {0x23};
    EXPECT_EQ(SendPacket(data, 1, 1, 2000), c.status);
}

INSTANTIATE_TEST_SUITE_P(Answers, BootPacketAck,
                         ::testing::Values(AckCase{{0xCC}, 0}, AckCase{{0x00, 0x00, 0xCC}, 0},
                                           AckCase{{0x33}, 5}, AckCase{{0x00, 0x33}, 5},
                                           AckCase{{0x41, 0xCC}, 5}));

TEST_F(BootPacketTest, SilenceAfterPacketIsStatus4AfterOneFullReadWait)
{
    const unsigned char data[] = {0x23};
    EXPECT_EQ(SendPacket(data, 1, 1, 2000), 4);
    EXPECT_EQ(fake::Now(), 4000u);

    fake::SetNow(0);
    EXPECT_EQ(SendPacket(data, 1, 1, 100), 4);
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(BootPacketTest, FillerBeforeAcknowledgementRestartsTheBudget)
{
    // Each zero comes 3000 ms after the one before, beyond a 2000 ms budget
    // for the whole; the ACK still counts.
    fake::DeliverAt(3000, {0x00, 0x00, 0xCC}, 3000);
    const unsigned char data[] = {0x23};
    EXPECT_EQ(SendPacket(data, 1, 1, 2000), 0);
    EXPECT_EQ(fake::Now(), 9000u);
}

TEST_F(BootPacketTest, EndlessFillerCountsAsSilence)
{
    fake::DeliverAt(0, std::vector<uint8_t>(5000, 0x00), 0);
    const unsigned char data[] = {0x23};
    EXPECT_EQ(SendPacket(data, 1, 1, 2000), 4);
    EXPECT_EQ(fake::PendingCount(), 5000u - kMaxFillerBytes - 1);
    unsigned char byte = 0;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 6);
}

struct WriteFailCase {
    int failingWrite;
    int reported;
    int status;
};

class BootPacketWriteFail : public BootPacketTest, public ::testing::WithParamInterface<WriteFailCase> {};

TEST_P(BootPacketWriteFail, NamesTheWriteThatFailedAndWaitsForNothing)
{
    const WriteFailCase& c = GetParam();
    fake::FailWriteCall(c.failingWrite, c.reported);
    fake::Deliver(Bytes{0xCC});
    const unsigned char data[] = {0x24, 0x01, 0x02};
    EXPECT_EQ(SendPacket(data, 3, 1, 2000), c.status);
    EXPECT_EQ(static_cast<int>(fake::WriteSizes().size()), c.failingWrite);
    EXPECT_EQ(fake::PendingCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Writes, BootPacketWriteFail,
                         ::testing::Values(WriteFailCase{1, 0, 1}, WriteFailCase{2, 0, 2},
                                           WriteFailCase{3, 2, 3}, WriteFailCase{3, 0, 3}));

TEST_F(BootPacketTest, ClosedPortFailsAtTheSizeByte)
{
    ClosePort(&gSerialPort);
    const unsigned char data[] = {0x23};
    EXPECT_EQ(SendPacket(data, 1, 1, 2000), 1);
    EXPECT_EQ(SendAck(), 1);
    EXPECT_EQ(SendNak(), 1);
}

// --- receiving -------------------------------------------------------------------

TEST_F(BootPacketTest, ReceiveSkipsLeadingFillerAndAcknowledges)
{
    fake::Deliver(Bytes{0x00, 0x03, 0x40, 0x40});
    unsigned char byte = 0;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 0);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(byte, 0x40);
    EXPECT_EQ(fake::SentBytes(), (Bytes{0xCC}));
}

TEST_F(BootPacketTest, ChecksumZeroAfterSizeByteIsTakenAsChecksum)
{
    fake::Deliver(Bytes{0x03, 0x00, 0x00, 0x02, 0x00});
    unsigned char byte = 0x55;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 0);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(byte, 0x00);

    byte = 0x55;
    length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(fake::SentBytes(), (Bytes{0xCC, 0xCC}));
}

TEST_F(BootPacketTest, SilenceWhereSizeByteIsDueIsStatus6)
{
    fake::Deliver(Bytes{0x00, 0x00});
    unsigned char byte = 0;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 6);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(fake::Now(), 4000u);
    EXPECT_TRUE(fake::SentBytes().empty());
}

TEST_F(BootPacketTest, MissingChecksumIsStatus7)
{
    fake::Deliver(Bytes{0x03});
    unsigned char byte = 0;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 7);
    EXPECT_EQ(length, 1);
    EXPECT_TRUE(fake::SentBytes().empty());
}

TEST_F(BootPacketTest, ShortDataIsStatus8WithLengthZeroAndNoAnswer)
{
    fake::Deliver(Bytes{0x06, 0x0A, 0x01, 0x02});
    unsigned char data[8] = {};
    uint8_t length = 8;
    EXPECT_EQ(ReceivePacket(data, &length, 2000), 8);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(fake::SentBytes().empty());
}

TEST_F(BootPacketTest, ChecksumMismatchIsNakedAndFailsWithoutStoring)
{
    fake::Deliver(Bytes{0x03, 0x44, 0x40});
    unsigned char byte = 0x23;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 9);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(byte, 0x23);
    EXPECT_EQ(fake::SentBytes(), (Bytes{0x33}));
}

TEST_F(BootPacketTest, ChecksumMismatchFailsEvenWhenNakCannotBeWritten)
{
    fake::Deliver(Bytes{0x03, 0x44, 0x40});
    fake::FailWriteCall(1, 0);
    unsigned char byte = 0;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 9);
}

TEST_F(BootPacketTest, UnwrittenAckIsStatus1WithTheData)
{
    fake::Deliver(Packet({0x40}));
    fake::FailWriteCall(1, 0);
    unsigned char byte = 0;
    uint8_t length = 1;
    EXPECT_EQ(ReceivePacket(&byte, &length, 2000), 1);
    EXPECT_EQ(byte, 0x40);
    EXPECT_EQ(length, 1);
}

TEST_F(BootPacketTest, LongerPacketIsReadWholeAndCutToCapacity)
{
    fake::Deliver(Packet({1, 2, 3, 4, 5}));
    fake::Deliver(Packet({9}));
    unsigned char data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t length = 2;
    EXPECT_EQ(ReceivePacket(data, &length, 2000), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[1], 2);
    EXPECT_EQ(data[2], 0xEE);
    EXPECT_EQ(data[3], 0xEE);

    // The line stayed in step: the next packet is read from its size byte.
    length = 1;
    EXPECT_EQ(ReceivePacket(data, &length, 2000), 0);
    EXPECT_EQ(data[0], 9);
    EXPECT_EQ(fake::SentBytes(), (Bytes{0xCC, 0xCC}));
}

TEST_F(BootPacketTest, ChecksumOfCutPacketCoversAllItsData)
{
    // Right over the first two bytes only: the packet is corrupt.
    fake::Deliver(Bytes{0x07, 0x03, 1, 2, 3, 4, 5});
    unsigned char data[2] = {};
    uint8_t length = 2;
    EXPECT_EQ(ReceivePacket(data, &length, 2000), 9);
    EXPECT_EQ(fake::PendingCount(), 0u);
}

TEST_F(BootPacketTest, SizeByteOneAnnounces255DataBytes)
{
    Bytes data(255);
    uint8_t sum = 0;
    for (int i = 0; i < 255; ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    Bytes wire{0x01, sum};
    wire.insert(wire.end(), data.begin(), data.end());
    fake::Deliver(wire);
    unsigned char stored[kBootInfoSize + 1] = {};
    uint8_t length = kBootInfoSize;
    EXPECT_EQ(ReceivePacket(stored, &length, 2000), 0);
    EXPECT_EQ(length, kBootInfoSize);
    EXPECT_EQ(stored[kBootInfoSize - 1], kBootInfoSize);
    EXPECT_EQ(stored[kBootInfoSize], 0);
    EXPECT_EQ(fake::PendingCount(), 0u);
}

// --- commands ----------------------------------------------------------------------

class BootCommandTest : public BootPacketTest {
protected:
    testdevice::Device device;

    void SetUp() override
    {
        BootPacketTest::SetUp();
        device.side = testdevice::Device::kBootLoader;
        device.Install();
    }
};

struct StatusCase {
    Bytes statusReply;
    int result;
};

void PrintTo(const StatusCase& c, std::ostream* out)
{
    *out << "status reply";
    for (uint8_t b : c.statusReply)
        *out << ' ' << std::hex << static_cast<int>(b);
}

class BootCommandStatus : public BootCommandTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(BootCommandStatus, ResultFollowsTheStatusPacket)
{
    device.statusReply = GetParam().statusReply;
    const unsigned char command[] = {0x21, 0x01, 0x02};
    EXPECT_EQ(RunCommand(command, 3, 2000), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, BootCommandStatus,
    ::testing::Values(StatusCase{{0x03, 0x40, 0x40}, 0}, StatusCase{{0x03, 0x44, 0x44}, 4},
                      StatusCase{{0x03, 0x41, 0x41}, 5},
                      StatusCase{{0x02, 0x00}, 5},                // no data: the request byte 0x23 stays
                      StatusCase{{0x00, 0x00, 0x03, 0x40, 0x40}, 0},
                      StatusCase{{0x03, 0x44, 0x40}, 3},          // corrupted: never taken as success
                      StatusCase{{0x03, 0x40, 0x44}, 3},
                      StatusCase{{0x04, 0x40}, 3},                // stops short
                      StatusCase{{}, 3}));

TEST_F(BootCommandTest, WireShowsCommandStatusRequestAndAck)
{
    device.statusReply = {0x03, 0x40, 0x40};
    const unsigned char command[] = {0x24, 0x10, 0x20};
    EXPECT_EQ(RunCommand(command, 3, 2000), 0);
    EXPECT_EQ(fake::SentBytes(), (Bytes{0x05, 0x54, 0x24, 0x10, 0x20, 0x03, 0x23, 0x23, 0xCC}));
}

TEST_F(BootCommandTest, CorruptedStatusIsNakedOnTheWire)
{
    device.statusReply = {0x03, 0x44, 0x40};
    const unsigned char command[] = {0x21};
    EXPECT_EQ(RunCommand(command, 1, 2000), 3);
    EXPECT_EQ(fake::SentBytes().back(), 0x33);
}

TEST_F(BootCommandTest, RejectedCommandPacketIsResult1WithoutStatusRequest)
{
    device.ack = {0x33};
    const unsigned char command[] = {0x21};
    EXPECT_EQ(RunCommand(command, 1, 2000), 1);
    EXPECT_EQ(device.packets.size(), 1u);
}

TEST_F(BootCommandTest, RejectedStatusRequestIsResult2)
{
    device.ackScript = {{0xCC}, {0x33}};
    device.statusReply = {0x03, 0x40, 0x40};
    const unsigned char command[] = {0x21};
    EXPECT_EQ(RunCommand(command, 1, 2000), 2);
    ASSERT_EQ(device.packets.size(), 2u);
    EXPECT_EQ(device.packets[1], (Bytes{0x23}));
}

TEST_F(BootCommandTest, SilentBootLoaderIsResult1AfterOneReadWait)
{
    device.ack.clear();
    const unsigned char command[] = {0x21};
    EXPECT_EQ(RunCommand(command, 1, 2000), 1);
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(BootCommandTest, StatusRequestIsNotBuiltInTxBuffer)
{
    for (int i = 0; i < kTxBufferSize; ++i)
        TxBuffer[i] = static_cast<unsigned char>(0xA0 ^ i);
    TxBuffer[0] = 0x21;
    unsigned char before[kTxBufferSize];
    std::memcpy(before, TxBuffer, sizeof before);
    device.statusReply = {0x03, 0x40, 0x40};
    device.informationReply = Packet(Bytes(8, 1));
    EXPECT_EQ(RunCommand(TxBuffer, 16, 2000), 0);
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 0);
    EXPECT_EQ(std::memcmp(before, TxBuffer, sizeof before), 0);
}

// --- information query --------------------------------------------------------------

class BootInfoQueryTest : public BootCommandTest {
protected:
    void SetUp() override
    {
        BootCommandTest::SetUp();
        std::memset(gBootInfo.bytes, 0xAA, sizeof gBootInfo.bytes);
    }
};

TEST_F(BootInfoQueryTest, CurrentLayoutIsTakenAsReceived)
{
    Bytes reply(kBootInfoSize, 0x5A);
    reply[0] = 0x00; reply[1] = 0x08;                   // layout word 0x0800
    reply[2] = 68; reply[3] = 0;                        // family code
    reply[6] = 10; reply[7] = 0;                        // PCB revision
    reply[28] = 0x01; reply[29] = 0x03; reply[30] = 0x39; reply[31] = 0x02;
    std::memcpy(&reply[32], "VEL2346", 8);
    device.informationReply = Packet(reply);

    EXPECT_EQ(QueryBootInfo(&gBootInfo), 0);
    EXPECT_EQ(fake::SentBytes(), (Bytes{0x03, 0x26, 0x26, 0xCC}));
    EXPECT_EQ(BootInfoLayoutWord(gBootInfo), 0x0800);
    EXPECT_EQ(BootInfoFamilyCode(gBootInfo), 68);
    EXPECT_EQ(BootInfoPcbRevision(gBootInfo), 10);
    EXPECT_EQ(BootInfoVersion(gBootInfo), 0x02390301u);
    EXPECT_STREQ(BootInfoProductName(gBootInfo), "VEL2346");
    EXPECT_EQ(gBootInfo.bytes[8], 0x5A);
    EXPECT_EQ(gBootInfo.bytes[64], 0);
}

TEST_F(BootInfoQueryTest, OlderLayoutIsConverted)
{
    Bytes reply(45);
    for (int i = 0; i < 45; ++i)
        reply[i] = static_cast<uint8_t>(0x80 + i);
    reply[0] = 0; reply[1] = 0;                                      // older layout
    reply[8] = 0x00; reply[9] = 0x00; reply[10] = 0x39; reply[11] = 0x02;
    device.informationReply = Packet(reply);

    EXPECT_EQ(QueryBootInfo(&gBootInfo), 0);
    EXPECT_EQ(BootInfoLayoutWord(gBootInfo), 0x0800);
    EXPECT_EQ(BootInfoFamilyCode(gBootInfo), 56);
    EXPECT_EQ(BootInfoPcbRevision(gBootInfo), 1);
    EXPECT_EQ(BootInfoVersion(gBootInfo), 0x02390000u);
    for (int i = 8; i < 28; ++i)
        EXPECT_EQ(gBootInfo.bytes[i], 0) << "byte " << i;
    // Name from reply bytes 12 to 44: all 33 bytes, no NUL among them.
    for (int i = 0; i < kProductNameSize; ++i)
        EXPECT_EQ(gBootInfo.bytes[32 + i], reply[12 + i]) << "name byte " << i;
    EXPECT_EQ(gBootInfo.bytes[4], reply[4]);
}

TEST_F(BootInfoQueryTest, ShortReplyKeepsWhatTheClearingLeft)
{
    device.informationReply = Packet({0x01, 0x00, 45, 0x00, 0x77, 0x77, 2, 0x00});
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 0);
    EXPECT_EQ(BootInfoFamilyCode(gBootInfo), 45);
    EXPECT_EQ(BootInfoPcbRevision(gBootInfo), 2);
    EXPECT_EQ(BootInfoVersion(gBootInfo), 0u);
    for (int i = 8; i < 28; ++i)
        EXPECT_EQ(gBootInfo.bytes[i], 0) << "byte " << i;
    EXPECT_EQ(gBootInfo.bytes[32], 0);
    EXPECT_EQ(gBootInfo.bytes[33], 0xAA);
    EXPECT_EQ(gBootInfo.bytes[63], 0xAA);
    EXPECT_EQ(gBootInfo.bytes[64], 0);
}

TEST_F(BootInfoQueryTest, LongerReplyIsCutAtTheRecordsEnd)
{
    Bytes reply(80, 'N');
    reply[0] = 1; reply[1] = 0;
    device.informationReply = Packet(reply);
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 0);
    EXPECT_EQ(gBootInfo.bytes[63], 'N');
    EXPECT_EQ(gBootInfo.bytes[64], 0);
    EXPECT_EQ(fake::PendingCount(), 0u);
}

TEST_F(BootInfoQueryTest, UnacknowledgedCommandIsResult1)
{
    device.ack = {0x33};
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 1);
}

TEST_F(BootInfoQueryTest, SilentBootLoaderIsResult1AfterTheAcknowledgementBudget)
{
    // A 4000 ms budget whose first read ends just at it starts a second.
    device.ack.clear();
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 1);
    EXPECT_EQ(fake::Now(), 8000u);
}

TEST_F(BootInfoQueryTest, MissingReplyIsResult2)
{
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 2);
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(BootInfoQueryTest, CorruptedReplyIsResult2AndNaked)
{
    Bytes reply = Packet(Bytes(20, 0x11));
    reply[1] ^= 0x01;
    device.informationReply = reply;
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 2);
    EXPECT_EQ(fake::SentBytes().back(), 0x33);
    EXPECT_EQ(gBootInfo.bytes[0], 0xAA);    // nothing of it was stored
}

// --- zero-byte flush ---------------------------------------------------------------

TEST_F(BootPacketTest, FlushOnSilentLineWrites256SingleZerosAndReadsNothing)
{
    FlushWithZeros();
    EXPECT_EQ(fake::SentBytes(), Bytes(256, 0x00));
    EXPECT_EQ(fake::WriteSizes(), std::vector<int>(256, 1));
    EXPECT_EQ(fake::Now(), 0u);
}

TEST_F(BootPacketTest, FlushDrainsWhatTheDeviceSendsAfterEachZero)
{
    int writes = 0;
    fake::SetResponder([&writes](const uint8_t*, int, int) {
        ++writes;
        if (writes % 16 == 0)
            fake::Deliver(Bytes{0x33, 0x00, 0x33});
    });
    fake::Deliver(Bytes{0x03, 0x40, 0x40});
    FlushWithZeros();
    EXPECT_EQ(writes, 256);
    EXPECT_EQ(fake::PendingCount(), 0u);
}

TEST_F(BootPacketTest, FlushGivesUpTheDrainWhenReadsDeliverNothing)
{
    fake::OverstateAvailable(1);
    FlushWithZeros();
    EXPECT_EQ(fake::SentBytes(), Bytes(256, 0x00));
    // One fruitless read wait per zero byte, then on to the next.
    EXPECT_EQ(fake::Now(), 256u * 4000u);
}

}  // namespace
