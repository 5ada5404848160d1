// The built-in catalogue: its slots, the header of the built-in image, and
// the walk over its records.
#include "firmware/image.h"
#include "firmware_test_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

// CRC-32 (ISO-HDLC), bit by bit: the test's own reference.
uint32_t ReferenceCrc32(const unsigned char* bytes, size_t count)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

const unsigned char* BuiltInImage()
{
    return ImageCatalogue[0];
}

TEST(ReferenceCrc, GivesTheCheckValue)
{
    const char text[] = "123456789";
    EXPECT_EQ(ReferenceCrc32(reinterpret_cast<const unsigned char*>(text), 9), 0xCBF43926u);
}

TEST(Catalogue, EmptySlotsReadAsZeroedHeaders)
{
    for (int slot = 1; slot < kCatalogueSlots; ++slot) {
        const unsigned char* image = ImageCatalogue[slot];
        ASSERT_NE(image, nullptr) << "slot " << slot;
        EXPECT_EQ(ImageTotalSize(image), 0u) << "slot " << slot;
        for (int i = 0; i < kImageHeaderSize; ++i)
            ASSERT_EQ(image[i], 0) << "slot " << slot << " byte " << i;
    }
}

TEST(BuiltInImage, HeaderHoldsTheProductsFields)
{
    const unsigned char* image = BuiltInImage();
    EXPECT_EQ(ImageTotalSize(image), 154976u);
    EXPECT_EQ(ReadLittleEndian32(image, kImageFormatWordOffset), 0x01000000u);
    EXPECT_EQ(ImageFamilyCode(image), 68u);
    EXPECT_EQ(ImagePcbRevision(image), 10u);
    EXPECT_EQ(ImageVersion(image), 0x02390000u);
    EXPECT_EQ(ReadLittleEndian32(image, kImageMaxRecordLengthOffset), 236u);
    EXPECT_EQ(ImageRecordCount(image), 657u);
    EXPECT_EQ(ImageFlashLength(image), 147004u);
    EXPECT_EQ(ImageFlashStart(image), 0x2000u);
    EXPECT_EQ(ReadLittleEndian32(image, kImageFlashEndOffset), 0x25E3Bu);
    EXPECT_EQ(ReadLittleEndian32(image, kImageZeroWordOffset), 0u);
    const unsigned char startBytes[kStartCommandByteCount] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD};
    EXPECT_EQ(std::memcmp(ImageStartCommandBytes(image), startBytes, sizeof startBytes), 0);
    EXPECT_STREQ(ImageModelName(image), "VEL2346");
    // NUL-padded to the end of the field.
    for (int i = 7; i < kImageModelNameSize; ++i)
        EXPECT_EQ(ImageModelName(image)[i], '\0') << i;
}

TEST(BuiltInImage, RecordWalkEndsAtTheTrailerWhoseCrcMatches)
{
    const unsigned char* image = BuiltInImage();
    const unsigned char* record = ImageFirstRecord(image);
    EXPECT_EQ(record - image, 84);
    std::vector<uint32_t> lengths;
    for (uint32_t n = ImageRecordCount(image); n != 0; --n) {
        lengths.push_back(RecordLength(record));
        record += RecordLength(record);
    }
    const size_t end = static_cast<size_t>(record - image);
    EXPECT_EQ(end, 154972u);
    EXPECT_EQ(end, ImageTotalSize(image) - 4u);
    EXPECT_EQ(ReferenceCrc32(image, end), ReadLittleEndian32(image, static_cast<int>(end)));

    ASSERT_EQ(lengths.size(), 657u);
    for (size_t i = 0; i < 656; ++i)
        ASSERT_EQ(lengths[i], 236u) << "record " << i;
    EXPECT_EQ(lengths[656], 72u);
}

TEST(BuiltInImage, PayloadsDifferFromRecordToRecordAndWithinOne)
{
    // A download that sends a record twice, skips one or shifts its bytes
    // must show in the bytes on the wire.
    const unsigned char* image = BuiltInImage();
    const unsigned char* record = ImageFirstRecord(image);
    const unsigned char* previous = nullptr;
    for (uint32_t n = ImageRecordCount(image); n != 0; --n) {
        const uint32_t length = RecordLength(record);
        std::set<unsigned char> values(record + 2, record + length);
        ASSERT_GT(values.size(), 16u) << "record at offset " << (record - image);
        if (previous != nullptr) {
            ASSERT_NE(std::memcmp(previous + 2, record + 2, length - 2), 0)
                << "record at offset " << (record - image) << " repeats the one before";
            ASSERT_NE(std::memcmp(previous + 3, record + 2, length - 3), 0)
                << "record at offset " << (record - image) << " is the one before shifted by a byte";
        }
        previous = record;
        record += length;
    }
}

TEST(ImageAccessors, ReadLittleEndianFieldsInPlace)
{
    firmware_test::TestImage image = firmware_test::MakeImage(0x11223344u, 0xA1B2C3D4u, 0x0A010202u, "X");
    firmware_test::PutWord(&image, kImageRecordCountOffset, 0x01020304u);
    firmware_test::PutWord(&image, kImageFlashLengthOffset, 0xFFFFFFFEu);
    firmware_test::PutWord(&image, kImageFlashStartOffset, 0x80000001u);
    image.bytes[kImageHeaderSize] = 0xFC;
    image.bytes[kImageHeaderSize + 1] = 0x00;
    EXPECT_EQ(ImageFamilyCode(image.data()), 0x11223344u);
    EXPECT_EQ(ImagePcbRevision(image.data()), 0xA1B2C3D4u);
    EXPECT_EQ(ImageVersion(image.data()), 0x0A010202u);
    EXPECT_EQ(ImageRecordCount(image.data()), 0x01020304u);
    EXPECT_EQ(ImageFlashLength(image.data()), 0xFFFFFFFEu);
    EXPECT_EQ(ImageFlashStart(image.data()), 0x80000001u);
    EXPECT_EQ(ImageStartCommandBytes(image.data()), image.data() + 44);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(ImageModelName(image.data())), image.data() + 51);
    EXPECT_EQ(RecordLength(ImageFirstRecord(image.data())), 252u);
    const unsigned char twoByteLength[] = {0x34, 0x12};
    EXPECT_EQ(RecordLength(twoByteLength), 0x1234u);
}

}  // namespace
