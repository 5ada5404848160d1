// Flash download; contract in flash.h.
#include "update/flash.h"

#include "app/console.h"
#include "firmware/image.h"
#include "protocol/app_messages.h"
#include "protocol/boot_packets.h"
#include "protocol/detect.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

#include <cstring>

namespace {

// Data bytes of the download start packet.
constexpr int kStartPacketLength = 16;
// A record's packet: the send data code, the record's payload without its
// last byte, and the three buffer positions that follow, as earlier packets
// left them. So a record of length L goes out as L + 1 data bytes.
constexpr uint32_t kRecordPacketExtra = 1;
// Longest record a packet can carry (its data length L + 1 must fit 253).
constexpr uint32_t kLongestRecord = kMaxPacketData - kRecordPacketExtra;
// Position in TxBuffer after which a record's bytes go.
constexpr int kRecordDataOffset = 1;

void PutBigEndian32(unsigned char* out, uint32_t value)
{
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

// Every failed download ends with the port back at the application's rate.
int EndFailedDownload()
{
    SetBaudRate(&gSerialPort, kApplicationBaud);
    gUpdateState.currentBaud = kApplicationBaud;
    gUpdateState.detectMode = kDetectNone;
    return 1;
}

// What a failed download command is reported with: status 0x44 as a flash
// mismatch, any other failure as lost communications at the start command
// (step 1) or at a record (step 2), with the command result in hexadecimal.
void ReportCommandFailure(int result, int step)
{
    const unsigned code = static_cast<unsigned>(result);
    if (result == 4)
        Print("\nError: FLASH firmware did not match update firmware.\n");
    else if (step == 1)
        Print("\nError: Lost(1-%02X) communications with the bootloader, check cables and power.\n", code);
    else
        Print("\nError: Lost(2-%02X) communications with the bootloader, check cables and power.\n", code);
}

// Sends the boot loader command and waits for the boot loader to answer its
// information query. Returns 1 when it answered.
int EnterBootLoader()
{
    WriteBytes(&gSerialPort, kBootLoaderCommand, kBootLoaderCommandLength);
    PauseMs(kBootLoaderStartMs);
    SetBaudRate(&gSerialPort, kBootLoaderBaud);
    gUpdateState.currentBaud = kBootLoaderBaud;
    for (int attempt = 0; attempt < kBootLoaderTries; ++attempt) {
        FlushWithZeros();
        if (QueryBootInfo(&gBootInfo) == 0) {
            gUpdateState.detectMode = kDetectBootLoader;
            return 1;
        }
        WriteBytes(&gSerialPort, kBootLoaderCommand, kBootLoaderCommandLength);
    }
    return 0;
}

}  // namespace

int FlashImage()
{
    const unsigned char* image = gUpdateState.selectedImage;
    if (gUpdateState.detectMode != kDetectBootLoader && !EnterBootLoader()) {
        Print("\nError: No response from the bootloader, check cables and power.\n");
        return EndFailedDownload();
    }

    TxBuffer[0] = kCommandDownloadStart;
    PutBigEndian32(TxBuffer + 1, ImageFlashStart(image));
    PutBigEndian32(TxBuffer + 5, ImageFlashLength(image));
    std::memcpy(TxBuffer + 9, ImageStartCommandBytes(image), kStartCommandByteCount);
    const int startResult = RunCommand(TxBuffer, kStartPacketLength, kDownloadBudgetMs);
    if (startResult != 0) {
        ReportCommandFailure(startResult, 1);
        return EndFailedDownload();
    }

    Print("\n");
    const uint32_t recordCount = ImageRecordCount(image);
    const unsigned char* record = ImageFirstRecord(image);
    for (uint32_t left = recordCount; left != 0; --left) {
        Print("\rUpdating firmware: %3u%% complete.", (recordCount - left) * 100u / recordCount);
        const uint32_t length = RecordLength(record);
        // The image build refuses records outside 3 to 252 bytes; should one
        // come anyway, copy no more than the buffer holds and let the packet
        // layer refuse what no size byte can carry.
        const uint32_t copied = length < 3 ? 0 : (length > kLongestRecord ? kLongestRecord : length) - 3;
        TxBuffer[0] = kCommandSendData;
        std::memcpy(TxBuffer + kRecordDataOffset, record + 2, copied);
        const int result = RunCommand(TxBuffer, static_cast<int>(length + kRecordPacketExtra), kDownloadBudgetMs);
        if (result != 0) {
            ReportCommandFailure(result, 2);
            ReturnToApplication();
            return EndFailedDownload();
        }
        record += length;
    }
    Print("\rUpdating firmware: 100%% complete.\n");
    ReturnToApplication();
    return 0;
}
