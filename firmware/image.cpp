// Header fields and records of a firmware image, read in place.
#include "firmware/image.h"

uint32_t ReadLittleEndian16(const unsigned char* bytes, int offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8;
}

uint32_t ReadLittleEndian32(const unsigned char* bytes, int offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint32_t ImageTotalSize(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImageTotalSizeOffset);
}

uint32_t ImageFamilyCode(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImageFamilyCodeOffset);
}

uint32_t ImagePcbRevision(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImagePcbRevisionOffset);
}

uint32_t ImageVersion(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImageVersionOffset);
}

uint32_t ImageRecordCount(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImageRecordCountOffset);
}

uint32_t ImageFlashLength(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImageFlashLengthOffset);
}

uint32_t ImageFlashStart(const unsigned char* image)
{
    return ReadLittleEndian32(image, kImageFlashStartOffset);
}

const unsigned char* ImageStartCommandBytes(const unsigned char* image)
{
    return image + kImageStartCommandOffset;
}

const char* ImageModelName(const unsigned char* image)
{
    return reinterpret_cast<const char*>(image + kImageModelNameOffset);
}

const unsigned char* ImageFirstRecord(const unsigned char* image)
{
    return image + kImageHeaderSize;
}

uint32_t RecordLength(const unsigned char* record)
{
    return ReadLittleEndian16(record, 0);
}
