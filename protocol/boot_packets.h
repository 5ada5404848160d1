// Boot loader packet protocol: the checksummed packets that the device's
// boot loader speaks at 115200 baud, the commands built on them, the
// information record `BootInfo` and the command buffer `TxBuffer`.
//
// Packet, the same in both directions:
//   byte 0      size: number of data bytes + 2 (8 bits)
//   byte 1      checksum: sum of the data bytes modulo 256
//   bytes 2...  0 to 253 data bytes; in a command the first is the code
// The receiver answers every packet with one unframed byte: kAckByte when
// the checksum matches, kNakByte when it does not. 0x00 bytes are filler:
// a receiver skips any number of them where it expects a size byte or an
// acknowledgement byte (a checksum byte of 0x00 is an ordinary checksum).
// More than kMaxFillerBytes of them in a row (a line held at break sends
// nothing else) count as no byte at all.
//
// Every operation here assumes the port is open at 115200 baud and uses the
// one gSerialPort. Nothing here prints, retries or allocates; every failure
// becomes a status or result code for the caller.
#pragma once

#include "protocol/device_info.h"

#include <cstdint>

constexpr uint8_t kAckByte = 0xCC;
constexpr uint8_t kNakByte = 0x33;

// Command codes, the first data byte of a packet from the program.
constexpr uint8_t kCommandDownloadStart = 0x21;
constexpr uint8_t kCommandGetStatus = 0x23;
constexpr uint8_t kCommandSendData = 0x24;
constexpr uint8_t kCommandReset = 0x25;
constexpr uint8_t kCommandInformation = 0x26;

// The single data byte of the reply to get status.
constexpr uint8_t kStatusSuccess = 0x40;
constexpr uint8_t kStatusFlashFailure = 0x44;

// Longest run of filler bytes skipped where a size or acknowledgement byte
// is due.
constexpr int kMaxFillerBytes = 256;

// Most data bytes one packet carries, and most a size byte can announce
// (size byte 1, in 8-bit arithmetic).
constexpr int kMaxPacketData = 253;
constexpr int kMaxPacketDataAnnounced = 255;

// Time budgets of the information query.
constexpr int kInformationAckBudgetMs = 4000;
constexpr int kInformationReplyBudgetMs = 2000;

// ---------------------------------------------------------------------------
// TxBuffer: the process-wide buffer in which command packets (download
// start, send data, reset) are built. All zero at start and never cleared:
// bytes that a packet does not overwrite keep what earlier packets left
// there, and the download relies on that.
constexpr int kTxBufferSize = 256;
extern unsigned char TxBuffer[kTxBufferSize];

// ---------------------------------------------------------------------------
// BootInfo: the boot loader's reply to the information command, received
// byte for byte into `bytes` (reply byte k is record byte k). Multi-byte
// fields are little-endian; read them with the accessors below.
//
//   offset  size  field
//   0       u16   layout word (0 marks the older layout, converted on receipt)
//   2       u16   family code
//   4       u16   not read
//   6       u16   PCB revision
//   8       20    not read (cleared before each query)
//   28      u32   firmware version
//   32      33    product name: text ending at its first NUL, or at byte 64
//                 without one (after an older-layout reply byte 64 holds
//                 whatever reply byte 44 held)
//
// Bytes that a shorter reply does not reach keep their earlier values,
// except those the query clears first.
constexpr int kBootInfoSize = 65;
constexpr int kBootInfoLayoutOffset = 0;
constexpr int kBootInfoFamilyOffset = 2;
constexpr int kBootInfoPcbOffset = 6;
constexpr int kBootInfoVersionOffset = 28;
constexpr int kBootInfoNameOffset = 32;
static_assert(kBootInfoNameOffset + kProductNameSize == kBootInfoSize, "name fills the record's end");

// Older layout (layout word 0): version at offset 8, product name at 12 to
// 44, no family code or PCB revision. It is converted with these values.
constexpr uint16_t kConvertedLayoutWord = 0x0800;
constexpr uint16_t kOlderLayoutFamilyCode = 56;
constexpr uint16_t kOlderLayoutPcbRevision = 1;

struct BootInfo {
    unsigned char bytes[kBootInfoSize];
};

// The one BootInfo of the process; it holds the last reply until the next
// query.
extern BootInfo gBootInfo;

uint16_t BootInfoLayoutWord(const BootInfo& info);
uint16_t BootInfoFamilyCode(const BootInfo& info);
uint16_t BootInfoPcbRevision(const BootInfo& info);
FirmwareVersion BootInfoVersion(const BootInfo& info);
// The 33 bytes of the product name; it may lack a NUL (see above), so
// readers stop at kProductNameSize bytes.
const char* BootInfoProductName(const BootInfo& info);

// ---------------------------------------------------------------------------
// The sum of `count` bytes modulo 256.
uint8_t PacketChecksum(const unsigned char* bytes, uint8_t count);

// Sends `length` data bytes as one packet in three writes (size byte,
// checksum byte, data; a packet without data has no third write). With `waitForAck` not 0 it then reads the
// acknowledgement, skipping filler, each read with `budgetMs` anew.
// Send status:
//   0  sent and, when asked for, acknowledged with ACK
//   1  the size byte was not written (also: `length` above kMaxPacketData,
//      which no size byte can express; nothing is written then)
//   2  the checksum byte was not written
//   3  fewer data bytes were written than `length`
//   4  no byte other than filler came within the budget
//   5  a byte other than ACK came (NAK included)
int SendPacket(const unsigned char* data, int length, int waitForAck, int budgetMs);

// Receives one packet into `destination`. `*length` is the destination's
// capacity on entry. Leading filler is skipped; every read uses `budgetMs`.
// The packet's data is read whole, whatever its length, so the line stays
// in step and the checksum covers all of it; only the first `*length` bytes
// are stored, and the destination is written only when the checksum
// matched. On return `*length` is the number of bytes stored (status 0 or
// 1), 0 after statuses 8 and 9, and unchanged after statuses 6 and 7.
// Receive status:
//   0  the checksum matched and ACK was written
//   1  the checksum matched and the ACK byte was not written
//   6  no byte other than filler came within the budget where the size
//      byte was expected
//   7  no checksum byte came within the budget
//   8  fewer data bytes than the size byte announced came within the budget
//   9  the checksum did not match; NAK was sent (written or not) and
//      nothing was stored
int ReceivePacket(unsigned char* destination, uint8_t* length, int budgetMs);

// Write the single byte ACK (0xCC) or NAK (0x33). Result: 0 when the byte
// was written, 1 when not.
int SendAck();
int SendNak();

// Sends the command packet `data`/`length` waiting for its ACK, then the
// get-status packet, and reads the one-byte status packet; `budgetMs`
// applies to every wait. Command result:
//   0  the status was kStatusSuccess (0x40)
//   1  the command packet failed (any send status but 0)
//   2  the get-status packet failed (any send status but 0)
//   3  no status packet (any receive status but 0, a bad checksum included)
//   4  the status was kStatusFlashFailure (0x44)
//   5  any other status; a status packet without data bytes counts as
//      status 0x23 and gives 5
int RunCommand(const unsigned char* data, int length, int budgetMs);

// Sends the information command and receives the reply into `record`
// (capacity kBootInfoSize), converting an older-layout reply. Clears the
// family code, PCB revision, version, bytes 8 to 27 and the first name
// byte first; sets byte 64 to 0 once a reply has arrived. Result:
//   0  done
//   1  the information packet was not sent or not acknowledged within
//      kInformationAckBudgetMs (any send status but 0)
//   2  no reply was received (any receive status but 0, a bad checksum
//      included)
int QueryBootInfo(BootInfo* record);

// Writes 256 single 0x00 bytes, one write each; after each it discards
// whatever the device has sent (as BytesAvailable reports it), so that no
// byte from the device is waiting when an information query starts. When
// a read delivers nothing while bytes are still reported, the draining for
// that zero byte ends there.
void FlushWithZeros();
