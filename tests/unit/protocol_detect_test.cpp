// Device detection and the return to the application, on the fake port and
// its virtual clock, with a scripted device.
#include "fake.h"
#include "protocol/boot_packets.h"
#include "protocol/detect.h"
#include "protocol/device_info.h"
#include "protocol_fake_device.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testdevice::Packet;

// An information reply in the current layout.
Bytes InformationReply(uint16_t familyCode, uint16_t pcbRevision, uint32_t version, const char* name)
{
    Bytes reply(kBootInfoSize, 0);
    reply[1] = 0x08;
    reply[2] = static_cast<uint8_t>(familyCode);
    reply[3] = static_cast<uint8_t>(familyCode >> 8);
    reply[6] = static_cast<uint8_t>(pcbRevision);
    reply[7] = static_cast<uint8_t>(pcbRevision >> 8);
    for (int i = 0; i < 4; ++i)
        reply[28 + i] = static_cast<uint8_t>(version >> (8 * i));
    std::memcpy(&reply[32], name, std::strlen(name));
    return Packet(reply);
}

class DetectTest : public ::testing::Test {
protected:
    testdevice::Device device;

    void SetUp() override
    {
        fake::Reset();
        ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
        gUpdateState.currentBaud = 19200;
        std::memset(gBootInfo.bytes, 0, sizeof gBootInfo.bytes);
        device.Install();
    }

    void PlaceInBootLoader(const Bytes& informationReply)
    {
        device.side = testdevice::Device::kBootLoader;
        device.informationReply = informationReply;
    }
};

TEST_F(DetectTest, NoRateInForceSendsNothing)
{
    gUpdateState.currentBaud = 0;
    gUpdateState.detectMode = kDetectApplication;
    EXPECT_EQ(DetectDevice(), 1);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
    EXPECT_TRUE(fake::SentBytes().empty());
    EXPECT_TRUE(fake::BaudChanges().empty());
}

TEST_F(DetectTest, ApplicationAtItsRateAnswersWithoutRateChange)
{
    device.versionAnswer = "^$^=V \"VEL2346\" 2.57.03b(Beta),68,10,1F$";
    fake::Deliver("stale bytes");
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectApplication);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_TRUE(fake::BaudChanges().empty());
    EXPECT_EQ(fake::SentBytes(), testdevice::Bytes("^V$"));
    EXPECT_EQ(gDeviceInfo.familyCode, 68);
    EXPECT_EQ(gDeviceInfo.version, 0x02390302u);
    EXPECT_EQ(gDeviceInfo.modelName, gDeviceInfo.productName);
}

TEST_F(DetectTest, PortLeftAtBootLoaderRateGoesBackBeforeAsking)
{
    ASSERT_EQ(SetBaudRate(&gSerialPort, 115200), 1);
    gUpdateState.currentBaud = 115200;
    device.versionAnswer = "^=V \"\" 2.57$";
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(fake::BaudChanges(), (std::vector<int>{115200, 19200}));
    ASSERT_FALSE(fake::Sent().empty());
    EXPECT_EQ(fake::Sent().front().baud, 19200);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
}

TEST_F(DetectTest, BootLoaderIsFoundAfterTheUnansweredVersionQuery)
{
    PlaceInBootLoader(InformationReply(68, 10, 0x02390302, "VEL2346"));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    EXPECT_EQ(gUpdateState.currentBaud, 115200u);
    EXPECT_EQ(fake::Baud(), 115200);
    EXPECT_EQ(fake::BaudChanges(), std::vector<int>{115200});

    // "^V$" at 19200, then 256 zeros and the information command at 115200.
    Bytes expected = testdevice::Bytes("^V$");
    expected.insert(expected.end(), 256, 0x00);
    const Bytes command{0x03, 0x26, 0x26, 0xCC};
    expected.insert(expected.end(), command.begin(), command.end());
    EXPECT_EQ(fake::SentBytes(), expected);
    for (size_t i = 3; i < fake::Sent().size(); ++i)
        ASSERT_EQ(fake::Sent()[i].baud, 115200) << "byte " << i;
    EXPECT_EQ(device.zeroFiller, 256);

    EXPECT_EQ(gDeviceInfo.familyCode, 68);
    EXPECT_EQ(gDeviceInfo.pcbRevision, 10);
    EXPECT_EQ(gDeviceInfo.version, 0x02390302u);
    EXPECT_STREQ(gDeviceInfo.productName, "VEL2346");
    EXPECT_EQ(gDeviceInfo.modelName, gDeviceInfo.productName);
    // The version query waited one full read for its first byte.
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(DetectTest, BootLoaderWithoutProductNameIsNamedFromTheModelTable)
{
    PlaceInBootLoader(InformationReply(56, 3, 0x02000000, ""));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_STREQ(gDeviceInfo.productName, "");
    ASSERT_NE(gDeviceInfo.modelName, nullptr);
    EXPECT_STREQ(gDeviceInfo.modelName, "RKM510");
}

TEST_F(DetectTest, UnlistedBootLoaderWithoutNameHasNoModelName)
{
    gDeviceInfo.modelName = "earlier";
    PlaceInBootLoader(InformationReply(99, 1, 0x01000000, ""));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gDeviceInfo.modelName, nullptr);
}

TEST_F(DetectTest, OlderLayoutNameFillsAll33BytesWithoutTerminator)
{
    Bytes reply(45, 0);
    reply[10] = 0x39;
    reply[11] = 0x02;
    for (int i = 12; i < 45; ++i)
        reply[i] = static_cast<uint8_t>('A' + (i - 12) % 26);
    PlaceInBootLoader(Packet(reply));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gDeviceInfo.familyCode, 56);
    EXPECT_EQ(gDeviceInfo.pcbRevision, 1);
    EXPECT_EQ(gDeviceInfo.version, 0x02390000u);
    EXPECT_EQ(std::memcmp(gDeviceInfo.productName, &reply[12], kProductNameSize), 0);
    char shown[64];
    CopyProductName(gDeviceInfo.modelName, shown, sizeof shown);
    EXPECT_EQ(std::strlen(shown), static_cast<size_t>(kProductNameSize));
}

TEST_F(DetectTest, NothingAnswersLeavesThePortAtTheApplicationRate)
{
    device.side = testdevice::Device::kNothing;
    EXPECT_EQ(DetectDevice(), 6);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(fake::Baud(), 19200);
    EXPECT_EQ(fake::BaudChanges(), (std::vector<int>{115200, 19200}));
    // Version query 4000 ms, information acknowledgement 8000 ms (its
    // 4000 ms budget ends just as the first read does, so a second follows).
    EXPECT_EQ(fake::Now(), 12000u);
}

TEST_F(DetectTest, BootLoaderThatAcknowledgesButSendsNoInformationIsNothing)
{
    device.side = testdevice::Device::kBootLoader;
    EXPECT_EQ(DetectDevice(), 6);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
    EXPECT_EQ(fake::Baud(), 19200);
}

TEST_F(DetectTest, OtherMessageFromApplicationMovesOnToTheBootLoader)
{
    device.versionAnswer = "^!Busy$";
    EXPECT_EQ(DetectDevice(), 6);
    EXPECT_EQ(fake::BaudChanges(), (std::vector<int>{115200, 19200}));
}

struct BaudFailCase {
    uint32_t startBaud;
    int failingCall;    // SetBaudRate call, counted from the start of detection
    int result;
};

class DetectBaudFailure : public DetectTest, public ::testing::WithParamInterface<BaudFailCase> {};

TEST_P(DetectBaudFailure, FailedRateChangeEndsDetectionWithNoRateInForce)
{
    const BaudFailCase& c = GetParam();
    device.side = testdevice::Device::kNothing;
    if (c.startBaud != 19200) {
        ASSERT_EQ(SetBaudRate(&gSerialPort, static_cast<int>(c.startBaud)), 1);
        fake::FailSetBaudCall(c.failingCall + 1);
    } else {
        fake::FailSetBaudCall(c.failingCall);
    }
    gUpdateState.currentBaud = c.startBaud;
    EXPECT_EQ(DetectDevice(), c.result);
    EXPECT_EQ(gUpdateState.currentBaud, 0u);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
    EXPECT_FALSE(fake::IsOpen());
    // Closed now: the next detection stops at once.
    EXPECT_EQ(DetectDevice(), 1);
}

INSTANTIATE_TEST_SUITE_P(RateChanges, DetectBaudFailure,
                         ::testing::Values(BaudFailCase{115200, 1, 3}, BaudFailCase{19200, 1, 4},
                                           BaudFailCase{19200, 2, 5}));

TEST_F(DetectTest, DetectionAfterBootLoaderDetectionAsksTheApplicationFirstAgain)
{
    PlaceInBootLoader(InformationReply(68, 10, 0x02390302, "VEL2346"));
    ASSERT_EQ(DetectDevice(), 0);
    fake::TakeSent();
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    const Bytes again = fake::TakeSent();
    ASSERT_GE(again.size(), 3u);
    EXPECT_EQ(Bytes(again.begin(), again.begin() + 3), testdevice::Bytes("^V$"));
    EXPECT_EQ(fake::BaudChanges(), (std::vector<int>{115200, 19200, 115200}));
}

// --- return to the application ------------------------------------------------------

TEST_F(DetectTest, ReturnOutsideTheBootLoaderDoesNothing)
{
    for (int mode : {kDetectNone, kDetectApplication}) {
        gUpdateState.detectMode = mode;
        gDeviceInfo.version = 0x01020000;
        ReturnToApplication();
        EXPECT_TRUE(fake::SentBytes().empty());
        EXPECT_TRUE(fake::BaudChanges().empty());
        EXPECT_EQ(gDeviceInfo.version, 0x01020000u);
        EXPECT_EQ(fake::Now(), 0u);
    }
}

TEST_F(DetectTest, ReturnResetsAndTakesTheRestartedApplicationsVersion)
{
    PlaceInBootLoader(InformationReply(68, 10, 0x02390302, "VEL2346"));
    device.startupMessage = "^=V \"VEL2346\" 2.58,68,10,1F$";
    ASSERT_EQ(DetectDevice(), 0);
    fake::TakeSent();
    TxBuffer[1] = 0x77;

    ReturnToApplication();
    EXPECT_EQ(fake::TakeSent(), (Bytes{0x03, 0x25, 0x25}));
    EXPECT_EQ(fake::Sent().back().baud, 115200);
    EXPECT_EQ(TxBuffer[0], 0x25);
    EXPECT_EQ(TxBuffer[1], 0x77);
    EXPECT_EQ(fake::Baud(), 19200);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    EXPECT_EQ(gDeviceInfo.version, 0x023A0000u);
    EXPECT_EQ(gDeviceInfo.optionWord, 0x1Fu);
}

TEST_F(DetectTest, ReturnSendsOnlyTheResetAndListensAfterItsPause)
{
    gUpdateState.detectMode = kDetectBootLoader;
    ASSERT_EQ(SetBaudRate(&gSerialPort, 115200), 1);
    ReturnToApplication();
    EXPECT_EQ(fake::SentBytes(), (Bytes{0x03, 0x25, 0x25}));
    EXPECT_EQ(fake::WriteSizes(), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(fake::BaudChanges(), (std::vector<int>{115200, 19200}));
    // 10 ms pause, then one full read wait on the silent line.
    EXPECT_EQ(fake::Now(), 10u + 4000u);
}

TEST_F(DetectTest, ReturnToSilentApplicationLeavesTheResetValues)
{
    gUpdateState.detectMode = kDetectBootLoader;
    gDeviceInfo.familyCode = 68;
    gDeviceInfo.version = 0x02390302;
    std::strcpy(gDeviceInfo.productName, "VEL2346");
    ReturnToApplication();
    EXPECT_EQ(gDeviceInfo.familyCode, 0);
    EXPECT_EQ(gDeviceInfo.version, 0u);
    EXPECT_EQ(gDeviceInfo.optionWord, 0xFFFFFFFFu);
    EXPECT_STREQ(gDeviceInfo.productName, "");
}

TEST_F(DetectTest, ReturnConsumesAnOtherFirstMessage)
{
    PlaceInBootLoader(InformationReply(68, 10, 0x02390302, "VEL2346"));
    device.startupMessage = "^!100,1,0$";
    ASSERT_EQ(DetectDevice(), 0);
    ReturnToApplication();
    EXPECT_EQ(fake::PendingCount(), 0u);
    EXPECT_EQ(gDeviceInfo.version, 0u);
}

}  // namespace
