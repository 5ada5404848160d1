// The flash download on the fake port, against a small scripted device:
// boot loader entry, the start packet, record packets built in the
// persistent TxBuffer, progress lines, and every way a download can fail.
#include "fake.h"
#include "firmware/image.h"
#include "protocol/boot_packets.h"
#include "protocol/device_info.h"
#include "serial/serial.h"
#include "update/flash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A packet the device received, with the rate it arrived at.
struct Received {
    Bytes data;
    int baud;
};

// Plays the device on the fake line: its application answers "^BOOTL$"
// by moving to the boot loader; the boot loader acknowledges packets and
// answers the information query and get status.
struct Device {
    bool inBootLoader = false;
    int silentQueries = 0;            // information queries left unanswered
    int statusAtCommand = -1;         // index of the command (0 = start) whose status is...
    uint8_t failingStatus = 0x40;     // ...this one
    int noAckAtCommand = -1;          // this command gets a NAK
    std::vector<Received> packets;
    int bootCommands19200 = 0;
    int bootCommands115200 = 0;
    int resets = 0;

    Bytes pending;    // bytes of the packet being received
    int commandIndex = 0;
    bool statusDue = false;

    void OnWrite(const uint8_t* bytes, int count, int baud)
    {
        const std::string text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
        if (text == "^BOOTL$^BOOTL$^BOOTL$") {
            (baud == 19200 ? bootCommands19200 : bootCommands115200)++;
            inBootLoader = true;
            return;
        }
        if (!inBootLoader || baud != 115200)
            return;
        for (int i = 0; i < count; ++i)
            OnBootLoaderByte(bytes[i]);
    }

    void OnBootLoaderByte(uint8_t b)
    {
        if (pending.empty() && (b == 0x00 || b == kAckByte))
            return;    // filler, or the program's ACK of our status packet
        pending.push_back(b);
        if (pending.size() < 2 || pending.size() < static_cast<size_t>(pending[0]))
            return;
        Bytes data(pending.begin() + 2, pending.end());
        pending.clear();
        packets.push_back({data, 115200});
        OnPacket(data);
    }

    void OnPacket(const Bytes& data)
    {
        switch (data.empty() ? 0 : data[0]) {
        case kCommandInformation:
            if (silentQueries > 0) {
                --silentQueries;
                return;
            }
            fake::Deliver(Bytes{kAckByte});
            fake::Deliver(BootInfoReply());
            return;
        case kCommandReset:
            ++resets;
            inBootLoader = false;
            return;
        case kCommandGetStatus: {
            fake::Deliver(Bytes{kAckByte});
            const uint8_t status = commandIndex - 1 == statusAtCommand ? failingStatus : 0x40;
            fake::Deliver(Bytes{0x03, status, status});
            return;
        }
        default:
            fake::Deliver(Bytes{commandIndex == noAckAtCommand ? kNakByte : kAckByte});
            ++commandIndex;
            return;
        }
    }

    static Bytes BootInfoReply()
    {
        Bytes info(65, 0);
        info[1] = 0x08;
        info[2] = 68;
        info[6] = 10;
        uint8_t sum = 0;
        for (uint8_t b : info)
            sum = static_cast<uint8_t>(sum + b);
        Bytes packet = {67, sum};
        packet.insert(packet.end(), info.begin(), info.end());
        return packet;
    }

    // Data packets of the download: start packet and records, in order.
    std::vector<Bytes> Commands() const
    {
        std::vector<Bytes> out;
        for (const Received& p : packets)
            if (!p.data.empty() && (p.data[0] == kCommandDownloadStart || p.data[0] == kCommandSendData))
                out.push_back(p.data);
        return out;
    }
};

// A small image built in the test: the header fields the download reads and
// records of the given lengths, each payload byte telling its record and
// position apart.
Bytes MakeImage(const std::vector<int>& recordLengths)
{
    Bytes image(kImageHeaderSize, 0);
    auto put32 = [&image](int offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put32(kImageFamilyCodeOffset, 68);
    put32(kImagePcbRevisionOffset, 10);
    put32(kImageVersionOffset, 0x02390000);
    put32(kImageRecordCountOffset, static_cast<uint32_t>(recordLengths.size()));
    put32(kImageFlashLengthOffset, 0x00023E3C);
    put32(kImageFlashStartOffset, 0x00002000);
    const uint8_t start[7] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07};
    std::memcpy(&image[kImageStartCommandOffset], start, 7);
    std::memcpy(&image[kImageModelNameOffset], "VEL2346", 7);
    for (size_t r = 0; r < recordLengths.size(); ++r) {
        const int length = recordLengths[r];
        image.push_back(static_cast<uint8_t>(length));
        image.push_back(static_cast<uint8_t>(length >> 8));
        for (int i = 2; i < length; ++i)
            image.push_back(static_cast<uint8_t>(0x10 * (r + 1) + i));
    }
    image.insert(image.end(), 4, 0);
    put32(kImageTotalSizeOffset, static_cast<uint32_t>(image.size()));
    return image;
}

class Flash : public ::testing::Test {
protected:
    Device device;
    Bytes image;

    void SetUp() override
    {
        fake::Reset();
        std::memset(TxBuffer, 0, sizeof TxBuffer);
        fake::SetResponder([this](const uint8_t* b, int n, int baud) { device.OnWrite(b, n, baud); });
        ASSERT_EQ(OpenPort(&gSerialPort, 3, 19200), 1);
        gUpdateState.currentBaud = 19200;
        gUpdateState.detectMode = kDetectApplication;
        UseImage({10, 10, 6});
    }

    void UseImage(const std::vector<int>& lengths)
    {
        image = MakeImage(lengths);
        gUpdateState.selectedImage = image.data();
    }

    static Bytes Record(const Bytes& img, int index, int* lengthOut = nullptr)
    {
        size_t at = kImageHeaderSize;
        for (int r = 0; r < index; ++r)
            at += img[at] | (img[at + 1] << 8);
        const int length = img[at] | (img[at + 1] << 8);
        if (lengthOut)
            *lengthOut = length;
        return Bytes(img.begin() + static_cast<long>(at), img.begin() + static_cast<long>(at) + length);
    }
};

TEST_F(Flash, SuccessfulDownloadSendsStartAndEveryRecordThenResets)
{
    EXPECT_EQ(FlashImage(), 0);
    EXPECT_EQ(device.bootCommands19200, 1);
    EXPECT_EQ(device.bootCommands115200, 0);
    const std::vector<Bytes> commands = device.Commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0], (Bytes{0x21, 0x00, 0x00, 0x20, 0x00, 0x00, 0x02, 0x3E, 0x3C,
                                  0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07}));
    // A record of length L: 0x24, its payload without the last byte, then
    // three positions as earlier packets left them.
    const Bytes r0 = Record(image, 0);
    Bytes expected0 = {0x24};
    expected0.insert(expected0.end(), r0.begin() + 2, r0.end() - 1);
    expected0.insert(expected0.end(), {0x3C, 0xA1, 0xB2});    // left at 8 to 10 by the start packet
    EXPECT_EQ(commands[1], expected0);
    const Bytes r1 = Record(image, 1);
    Bytes expected1 = {0x24};
    expected1.insert(expected1.end(), r1.begin() + 2, r1.end() - 1);
    expected1.insert(expected1.end(), {0x3C, 0xA1, 0xB2});
    EXPECT_EQ(commands[2], expected1);
    // The short last record ends in what the record before it left at 4 to 6.
    const Bytes r2 = Record(image, 2);
    Bytes expected2 = {0x24};
    expected2.insert(expected2.end(), r2.begin() + 2, r2.end() - 1);
    expected2.insert(expected2.end(), {r1[5], r1[6], r1[7]});
    EXPECT_EQ(commands[3], expected2);

    EXPECT_EQ(device.resets, 1);
    EXPECT_EQ(fake::Output(),
              "\n\rUpdating firmware:   0% complete.\rUpdating firmware:  33% complete."
              "\rUpdating firmware:  66% complete.\rUpdating firmware: 100% complete.\n");
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(fake::Baud(), 19200);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
}

TEST_F(Flash, BootLoaderEntryWaitsASecondBeforeAskingAt115200)
{
    const uint32_t start = fake::Now();
    fake::SetResponder([this, start](const uint8_t* b, int n, int baud) {
        if (n == 1 && b[0] == 0x00 && device.packets.empty()) {
            EXPECT_GE(fake::Now() - start, 1000u) << "zero bytes only after the pause";
        }
        device.OnWrite(b, n, baud);
    });
    EXPECT_EQ(FlashImage(), 0);
    ASSERT_FALSE(fake::BaudChanges().empty());
    EXPECT_EQ(fake::BaudChanges().front(), 115200);
    // 256 single zero bytes precede the information query.
    const std::vector<int>& sizes = fake::WriteSizes();
    ASSERT_GE(sizes.size(), 260u);
    EXPECT_EQ(sizes[0], 21);
    for (int i = 1; i <= 256; ++i)
        EXPECT_EQ(sizes[i], 1) << i;
}

TEST_F(Flash, DeviceAlreadyInBootLoaderGetsTheStartPacketFirst)
{
    device.inBootLoader = true;
    gUpdateState.detectMode = kDetectBootLoader;
    ASSERT_EQ(SetBaudRate(&gSerialPort, 115200), 1);
    const uint32_t start = fake::Now();
    EXPECT_EQ(FlashImage(), 0);
    const Bytes sent = fake::SentBytes();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], 18) << "size byte of the 16-byte start packet";
    EXPECT_EQ(sent[2], 0x21);
    EXPECT_EQ(fake::Sent()[0].baud, 115200);
    EXPECT_EQ(fake::Sent()[0].atMs, start);
    EXPECT_EQ(device.bootCommands19200 + device.bootCommands115200, 0);
}

TEST_F(Flash, BootLoaderAnsweringTheSecondQueryCostsOneMoreCommand)
{
    device.silentQueries = 1;
    EXPECT_EQ(FlashImage(), 0);
    EXPECT_EQ(device.bootCommands19200, 1);
    EXPECT_EQ(device.bootCommands115200, 1);
}

TEST_F(Flash, SilentBootLoaderIsReportedWithoutReset)
{
    device.silentQueries = 99;
    EXPECT_EQ(FlashImage(), 1);
    EXPECT_EQ(device.bootCommands19200, 1);
    EXPECT_EQ(device.bootCommands115200, 3);
    EXPECT_EQ(device.resets, 0);
    EXPECT_EQ(fake::Output(), "\nError: No response from the bootloader, check cables and power.\n");
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(fake::Baud(), 19200);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
}

struct FailureCase {
    const char* name;
    int command;       // 0 = start packet, 1.. = records
    uint8_t status;    // 0: NAK instead
    const char* message;
    bool reset;
    const char* progress;
};

class FlashFailures : public Flash, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FlashFailures, EndTheDownloadWithTheirMessage)
{
    const FailureCase& c = GetParam();
    if (c.status == 0) {
        device.noAckAtCommand = c.command;
    } else {
        device.statusAtCommand = c.command;
        device.failingStatus = c.status;
    }
    EXPECT_EQ(FlashImage(), 1);
    EXPECT_EQ(fake::Output(), std::string(c.progress) + c.message);
    EXPECT_EQ(device.resets, c.reset ? 1 : 0);
    EXPECT_EQ(device.Commands().size(), static_cast<size_t>(c.command + 1)) << "nothing sent after the failure";
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(fake::Baud(), 19200);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FlashFailures,
    ::testing::Values(
        FailureCase{"StartFlashMismatch", 0, 0x44, "\nError: FLASH firmware did not match update firmware.\n", false, ""},
        FailureCase{"StartNak", 0, 0,
                    "\nError: Lost(1-01) communications with the bootloader, check cables and power.\n", false, ""},
        FailureCase{"StartOddStatus", 0, 0x41,
                    "\nError: Lost(1-05) communications with the bootloader, check cables and power.\n", false, ""},
        FailureCase{"RecordFlashMismatch", 2, 0x44, "\nError: FLASH firmware did not match update firmware.\n", true,
                    "\n\rUpdating firmware:   0% complete.\rUpdating firmware:  33% complete."},
        FailureCase{"RecordNak", 1, 0,
                    "\nError: Lost(2-01) communications with the bootloader, check cables and power.\n", true,
                    "\n\rUpdating firmware:   0% complete."}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(Flash, ImageWithoutRecordsSendsOnlyTheStartPacket)
{
    UseImage({});
    EXPECT_EQ(FlashImage(), 0);
    EXPECT_EQ(device.Commands().size(), 1u);
    EXPECT_EQ(fake::Output(), "\n\rUpdating firmware: 100% complete.\n");
    EXPECT_EQ(device.resets, 1);
}

TEST_F(Flash, SecondRunSendsTheSamePackets)
{
    UseImage({10, 10});
    ASSERT_EQ(FlashImage(), 0);
    const std::vector<Bytes> first = device.Commands();
    device.packets.clear();
    gUpdateState.detectMode = kDetectApplication;
    ASSERT_EQ(FlashImage(), 0);
    EXPECT_EQ(device.Commands(), first);
}

}  // namespace
