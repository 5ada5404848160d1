// tlxsim: an image file read for comparison with what the
// download delivered, and the packets the updater is expected to send for
// it, modelled with its persistent 256-byte transmit buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tlxsim {

struct ImageFile {
    std::string path;
    std::vector<uint8_t> bytes;
    uint32_t totalSize = 0;
    uint32_t family = 0;
    uint32_t pcb = 0;
    uint32_t version = 0;
    uint32_t recordCount = 0;
    uint32_t flashLength = 0;
    uint32_t flashStart = 0;
    uint8_t startCommandBytes[7] = {};
    std::string modelName;
    bool crcOk = false;
    bool recordsFit = false;               // the walk ends exactly at the trailer
    std::vector<std::vector<uint8_t>> records;   // whole records, length prefix included
    std::string error;                     // empty when the file was read

    // Data bytes of the expected download start packet (16 bytes).
    std::vector<uint8_t> expectedStart;
    // Data bytes of the expected record packets (L + 1 bytes each), built
    // in a fresh 256-byte buffer after the start packet, as one download of
    // the updater does.
    std::vector<std::vector<uint8_t>> expectedRecords;
};

bool LoadImage(const std::string& path, ImageFile* image);

uint32_t Crc32(const uint8_t* data, size_t count);

}  // namespace tlxsim
