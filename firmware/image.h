// Firmware images and the catalogue built into the program.
//
// A firmware image is one read-only block of bytes, used in place and never
// copied or written: an 84-byte header, the download records, and a CRC-32
// trailer. A FirmwareImage is held as `const unsigned char*` to the image's
// first byte. All numbers are unsigned and little-endian; the accessors
// below read them in place at their offsets.
//
// Header (offsets in bytes):
//    0  u32  totalSize         whole image: header, records, trailer; 0 marks an empty slot
//    4  u32  format word       0x01000000; not read by the program
//    8  u32  familyCode        product family the firmware is for
//   12  u32  pcbRevision       PCB revision the firmware is for
//   16  u32  version           the firmware's FirmwareVersion
//   20  u32  maxRecordLength   longest record; not read by the program
//   24  u32  recordCount       number of records after the header
//   28  u32  flashLength       byte count the download start command announces
//   32  u32  flashStart        flash address the download start command announces
//   36  u32  flashEnd          flashStart + flashLength - 1; not read by the program
//   40  u32  (zero)            not read by the program
//   44  7    startCommandBytes carried by the download start command as stored
//   51  33   modelName         ASCII, NUL-terminated, NUL-padded (at most 32 characters)
//
// Records follow from offset 84 without gaps: a u16 length L (these two
// bytes included) and L - 2 payload bytes for the device's boot loader.
// Records are walked, never indexed: the first starts at ImageFirstRecord,
// each next one RecordLength bytes after the one before, and exactly
// ImageRecordCount records are taken. The last 4 bytes of the image hold
// the CRC-32 (ISO-HDLC) of every byte before them.
//
// The program never validates an image: the build step that turns the
// image files of firmware/images/ into the catalogue refuses any image
// that breaks these rules (firmware/tools/image_file.h):
//   - the records fill the space from the header to the trailer exactly:
//     84 + sum of record lengths + 4 = totalSize, and totalSize is the
//     file's size;
//   - every record length lies between 3 and 252 inclusive;
//   - modelName holds a NUL within its 33 bytes;
//   - the trailer matches the CRC-32 of the bytes before it.
#pragma once

#include <cstdint>

// Number of catalogue slots, and the size of an image header.
constexpr int kCatalogueSlots = 8;
constexpr int kImageHeaderSize = 84;
// Size of the CRC-32 trailer at the end of every image.
constexpr int kImageTrailerSize = 4;
// Sizes of the two byte fields of the header.
constexpr int kStartCommandByteCount = 7;
constexpr int kImageModelNameSize = 33;
// Shortest and longest record length a download packet can carry.
constexpr int kMinRecordLength = 3;
constexpr int kMaxRecordLength = 252;
// Value of the format word at offset 4.
constexpr uint32_t kImageFormatWord = 0x01000000u;

// Header field offsets.
constexpr int kImageTotalSizeOffset = 0;
constexpr int kImageFormatWordOffset = 4;
constexpr int kImageFamilyCodeOffset = 8;
constexpr int kImagePcbRevisionOffset = 12;
constexpr int kImageVersionOffset = 16;
constexpr int kImageMaxRecordLengthOffset = 20;
constexpr int kImageRecordCountOffset = 24;
constexpr int kImageFlashLengthOffset = 28;
constexpr int kImageFlashStartOffset = 32;
constexpr int kImageFlashEndOffset = 36;
constexpr int kImageZeroWordOffset = 40;
constexpr int kImageStartCommandOffset = 44;
constexpr int kImageModelNameOffset = 51;

// The images built into the program, fixed when it is built. Slot 0 holds
// the product's own image; slots 1 to 7 are empty. Each slot points at an
// image's first byte; an empty slot points at a zeroed header block whose
// totalSize reads 0 (never null), so its header can always be read. Which
// image goes into which slot is listed in firmware/images/catalogue.txt.
extern const unsigned char* const ImageCatalogue[kCatalogueSlots];

// Read the u16 or u32 at `offset` of `bytes`, little-endian: the byte
// order of images and of the boot loader's information record alike.
uint32_t ReadLittleEndian16(const unsigned char* bytes, int offset);
uint32_t ReadLittleEndian32(const unsigned char* bytes, int offset);

// Header fields of `image`, read in place.
uint32_t ImageTotalSize(const unsigned char* image);
uint32_t ImageFamilyCode(const unsigned char* image);
uint32_t ImagePcbRevision(const unsigned char* image);
uint32_t ImageVersion(const unsigned char* image);
uint32_t ImageRecordCount(const unsigned char* image);
uint32_t ImageFlashLength(const unsigned char* image);
uint32_t ImageFlashStart(const unsigned char* image);
// The kStartCommandByteCount bytes at offset 44, exactly as stored.
const unsigned char* ImageStartCommandBytes(const unsigned char* image);
// The NUL-terminated model name at offset 51 (the build guarantees its NUL).
const char* ImageModelName(const unsigned char* image);
// The first record, at offset 84.
const unsigned char* ImageFirstRecord(const unsigned char* image);
// The length of the record at `record` (its u16 length field, which counts
// itself); the next record starts this many bytes further on.
uint32_t RecordLength(const unsigned char* record);
