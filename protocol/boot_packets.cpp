// Boot loader packets, commands and the information query; see
// boot_packets.h.
#include "protocol/boot_packets.h"

#include "firmware/image.h"
#include "serial/serial.h"

#include <cstring>

unsigned char TxBuffer[kTxBufferSize] = {};
BootInfo gBootInfo = {};

namespace {

void WriteLittle16(unsigned char* at, uint16_t value)
{
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>(value >> 8);
}

// Reads one byte, skipping filler; each read has `budgetMs` anew. A line
// held at break delivers nothing but 0x00, so at most kMaxFillerBytes are
// skipped in a row; a device sends a few at most.
// Returns 1 with the byte in `*out`, 0 when no other byte came in time.
int ReadSkippingFiller(unsigned char* out, int budgetMs)
{
    for (int filler = 0; filler <= kMaxFillerBytes; ++filler) {
        if (ReadWithDeadline(&gSerialPort, out, 1, budgetMs) != 1)
            return 0;
        if (*out != 0x00)
            return 1;
    }
    return 0;
}

int WriteSingleByte(uint8_t value)
{
    const unsigned char byte = value;
    return WriteBytes(&gSerialPort, &byte, 1) == 1 ? 0 : 1;
}

}  // namespace

uint16_t BootInfoLayoutWord(const BootInfo& info)
{
    return static_cast<uint16_t>(ReadLittleEndian16(info.bytes, kBootInfoLayoutOffset));
}

uint16_t BootInfoFamilyCode(const BootInfo& info)
{
    return static_cast<uint16_t>(ReadLittleEndian16(info.bytes, kBootInfoFamilyOffset));
}

uint16_t BootInfoPcbRevision(const BootInfo& info)
{
    return static_cast<uint16_t>(ReadLittleEndian16(info.bytes, kBootInfoPcbOffset));
}

FirmwareVersion BootInfoVersion(const BootInfo& info)
{
    return ReadLittleEndian32(info.bytes, kBootInfoVersionOffset);
}

const char* BootInfoProductName(const BootInfo& info)
{
    return reinterpret_cast<const char*>(info.bytes + kBootInfoNameOffset);
}

uint8_t PacketChecksum(const unsigned char* bytes, uint8_t count)
{
    uint8_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

int SendPacket(const unsigned char* data, int length, int waitForAck, int budgetMs)
{
    if (length < 0 || length > kMaxPacketData)
        return 1;
    const unsigned char size = static_cast<unsigned char>(length + 2);
    const unsigned char checksum = PacketChecksum(data, static_cast<uint8_t>(length));
    if (WriteBytes(&gSerialPort, &size, 1) != 1)
        return 1;
    if (WriteBytes(&gSerialPort, &checksum, 1) != 1)
        return 2;
    if (length > 0 && WriteBytes(&gSerialPort, data, length) != length)
        return 3;
    if (waitForAck == 0)
        return 0;
    unsigned char answer = 0;
    if (ReadSkippingFiller(&answer, budgetMs) == 0)
        return 4;
    return answer == kAckByte ? 0 : 5;
}

int ReceivePacket(unsigned char* destination, uint8_t* length, int budgetMs)
{
    unsigned char size = 0;
    if (ReadSkippingFiller(&size, budgetMs) == 0)
        return 6;
    unsigned char checksum = 0;
    if (ReadWithDeadline(&gSerialPort, &checksum, 1, budgetMs) != 1)
        return 7;

    // The whole data is read, even beyond the destination's capacity, so
    // that the line stays in step and the checksum covers all of it. A size
    // byte of 1 announces 255 data bytes (no valid packet has more than
    // kMaxPacketData), so the scratch holds every length a size byte can
    // announce.
    const uint8_t dataLength = static_cast<uint8_t>(size - 2);
    unsigned char scratch[kMaxPacketDataAnnounced];
    if (ReadWithDeadline(&gSerialPort, scratch, dataLength, budgetMs) != dataLength) {
        *length = 0;
        return 8;
    }
    if (PacketChecksum(scratch, dataLength) != checksum) {
        *length = 0;
        SendNak();
        return 9;
    }
    const uint8_t stored = dataLength < *length ? dataLength : *length;
    std::memcpy(destination, scratch, stored);
    *length = stored;
    return SendAck();
}

int SendAck() { return WriteSingleByte(kAckByte); }
int SendNak() { return WriteSingleByte(kNakByte); }

int RunCommand(const unsigned char* data, int length, int budgetMs)
{
    if (SendPacket(data, length, 1, budgetMs) != 0)
        return 1;
    // The status packet is received into the byte that held the request,
    // so a status packet without data bytes leaves 0x23 there.
    unsigned char status = kCommandGetStatus;
    if (SendPacket(&status, 1, 1, budgetMs) != 0)
        return 2;
    uint8_t capacity = 1;
    if (ReceivePacket(&status, &capacity, budgetMs) != 0)
        return 3;
    if (status == kStatusFlashFailure)
        return 4;
    if (status == kStatusSuccess)
        return 0;
    return 5;
}

int QueryBootInfo(BootInfo* record)
{
    unsigned char* bytes = record->bytes;
    // The layout word, the word at 4 and name bytes 1 to 32 keep their
    // earlier values until a reply overwrites them.
    WriteLittle16(bytes + kBootInfoFamilyOffset, 0);
    WriteLittle16(bytes + kBootInfoPcbOffset, 0);
    std::memset(bytes + 8, 0, 20);
    std::memset(bytes + kBootInfoVersionOffset, 0, 4);
    bytes[kBootInfoNameOffset] = 0;

    unsigned char command = kCommandInformation;
    if (SendPacket(&command, 1, 1, kInformationAckBudgetMs) != 0)
        return 1;
    uint8_t capacity = kBootInfoSize;
    if (ReceivePacket(bytes, &capacity, kInformationReplyBudgetMs) != 0)
        return 2;
    bytes[kBootInfoSize - 1] = 0;
    if (BootInfoLayoutWord(*record) != 0)
        return 0;

    // Older layout: version and name sit 20 bytes lower. Move bytes 8..44 up
    // to 28..64, from the top down so that every byte is read before the
    // move overwrites it, then clear what is left below.
    WriteLittle16(bytes + kBootInfoLayoutOffset, kConvertedLayoutWord);
    WriteLittle16(bytes + kBootInfoFamilyOffset, kOlderLayoutFamilyCode);
    WriteLittle16(bytes + kBootInfoPcbOffset, kOlderLayoutPcbRevision);
    for (int from = 44; from >= 8; --from)
        bytes[from + 20] = bytes[from];
    std::memset(bytes + 8, 0, 20);
    return 0;
}

void FlushWithZeros()
{
    const unsigned char zero = 0x00;
    unsigned char discard = 0;
    for (int i = 0; i < 256; ++i) {
        WriteBytes(&gSerialPort, &zero, 1);
        int owed = BytesAvailable(&gSerialPort);
        while (owed > 0) {
            const int got = ReadBytes(&gSerialPort, &discard, 1);
            if (got <= 0)
                break;    // the line delivers nothing: on to the next zero byte
            owed -= got;
            if (owed == 0)
                owed = BytesAvailable(&gSerialPort);
        }
    }
}
