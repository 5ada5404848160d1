// A firmware image header made up for a test: the fields the catalogue's
// readers look at, everything else zero, no records.
#pragma once

#include "firmware/image.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace firmware_test {

struct TestImage {
    std::array<unsigned char, kImageHeaderSize + kImageTrailerSize> bytes{};
    const unsigned char* data() const { return bytes.data(); }
};

inline void PutWord(TestImage* image, int offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image->bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

inline TestImage MakeImage(uint32_t familyCode, uint32_t pcbRevision, uint32_t version, const char* modelName)
{
    TestImage image;
    PutWord(&image, kImageTotalSizeOffset, static_cast<uint32_t>(image.bytes.size()));
    PutWord(&image, kImageFamilyCodeOffset, familyCode);
    PutWord(&image, kImagePcbRevisionOffset, pcbRevision);
    PutWord(&image, kImageVersionOffset, version);
    std::strncpy(reinterpret_cast<char*>(image.bytes.data() + kImageModelNameOffset), modelName,
                 kImageModelNameSize - 1);
    return image;
}

}  // namespace firmware_test
