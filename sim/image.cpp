// tlxsim: image file reading and the expected download packets.
#include "image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace tlxsim {

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t count)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

bool LoadImage(const std::string& path, ImageFile* image)
{
    image->path = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        image->error = "cannot read the image file";
        return false;
    }
    image->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const std::vector<uint8_t>& b = image->bytes;
    if (b.size() < 84 + 4) {
        image->error = "shorter than a header and a trailer";
        return false;
    }
    image->totalSize = Le32(b, 0);
    image->family = Le32(b, 8);
    image->pcb = Le32(b, 12);
    image->version = Le32(b, 16);
    image->recordCount = Le32(b, 24);
    image->flashLength = Le32(b, 28);
    image->flashStart = Le32(b, 32);
    std::memcpy(image->startCommandBytes, &b[44], 7);
    for (size_t i = 51; i < 84 && b[i] != 0; ++i)
        image->modelName.push_back(static_cast<char>(b[i]));
    if (image->totalSize >= 4 && image->totalSize <= b.size())
        image->crcOk = Crc32(b.data(), image->totalSize - 4) == Le32(b, image->totalSize - 4);

    // Walk the records.
    size_t at = 84;
    for (uint32_t n = 0; n < image->recordCount; ++n) {
        if (at + 2 > b.size()) {
            image->error = "record " + std::to_string(n + 1) + " runs past the end of the file";
            return false;
        }
        const size_t length = static_cast<size_t>(b[at]) | static_cast<size_t>(b[at + 1]) << 8;
        if (length < 3 || length > 252 || at + length > b.size()) {
            image->error = "record " + std::to_string(n + 1) + " has a bad length " + std::to_string(length);
            return false;
        }
        image->records.emplace_back(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + length));
        at += length;
    }
    image->recordsFit = (at + 4 == image->totalSize);

    // The updater's persistent transmit buffer: zero at start, never cleared.
    uint8_t buffer[256] = {};
    buffer[0] = 0x21;
    for (int i = 0; i < 4; ++i) {
        buffer[1 + i] = static_cast<uint8_t>(image->flashStart >> (24 - 8 * i));
        buffer[5 + i] = static_cast<uint8_t>(image->flashLength >> (24 - 8 * i));
    }
    std::memcpy(buffer + 9, image->startCommandBytes, 7);
    image->expectedStart.assign(buffer, buffer + 16);
    for (const std::vector<uint8_t>& record : image->records) {
        const size_t length = record.size();
        buffer[0] = 0x24;
        // Record bytes 2 .. L-2 go to positions 1 .. L-3; L-2 .. L keep what was there.
        for (size_t i = 2; i + 2 <= length; ++i)
            buffer[i - 1] = record[i];
        image->expectedRecords.emplace_back(buffer, buffer + length + 1);
    }
    return true;
}

}  // namespace tlxsim
