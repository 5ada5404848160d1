// Firmware image files for the people and the build step that prepare
// them: the rules an image must keep, its CRC-32, packing an image from a
// payload, and the generated catalogue source. Used by tlximage (all its
// commands) and by its tests; the program itself never validates an image
// and does not contain this code.
//
// The image layout is described in firmware/image.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image_file {

// CRC-32 of ISO-HDLC and IEEE 802.3: reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF, result complemented. "123456789" gives
// 0xCBF43926.
uint32_t Crc32(const unsigned char* bytes, size_t count);

// One record as found by the walk.
struct RecordInfo {
    size_t offset;
    uint32_t length;
};

// What CheckImage found in an image file's bytes.
struct ImageCheck {
    std::vector<std::string> problems;   // one text per broken rule; empty when all hold
    std::vector<RecordInfo> records;     // records walked before the walk ended or failed
    size_t recordsEnd = 0;               // offset after the last record walked
    bool hasTrailer = false;             // the file is long enough for a header and a trailer
    uint32_t storedCrc = 0;              // trailer, when hasTrailer
    uint32_t computedCrc = 0;            // CRC-32 of the bytes before the trailer, when hasTrailer
};

// Checks `bytes`, the whole content of an image file, against the rules:
// the file holds at least the header and the trailer; totalSize is the
// file's size; recordCount records, each of length 3 to 252, fill the bytes
// from the header to the trailer exactly; modelName holds a NUL within its
// 33 bytes; the trailer is the CRC-32 of the bytes before it. Every broken
// rule adds one problem text that names the rule and the values found.
ImageCheck CheckImage(const std::vector<unsigned char>& bytes);

// Header fields and payload of an image to pack.
struct PackSettings {
    uint32_t familyCode = 0;
    uint32_t pcbRevision = 0;
    uint32_t version = 0;
    uint32_t flashStart = 0;
    uint32_t flashLength = 0;
    unsigned char startCommandBytes[7] = {};
    std::string modelName;
    // Length of a full record, its 2-byte length field included: the
    // payload is cut into pieces of recordLength - 2 bytes, and the rest
    // after the last full piece, if any, makes one shorter last record.
    uint32_t recordLength = 236;
};

// Builds an image from `settings` and `payload` into `image`. The format
// word is 0x01000000, maxRecordLength the longest record made, flashEnd
// flashStart + flashLength - 1, the word at 40 zero, and the trailer the
// CRC-32. Returns an empty text on success, otherwise what is wrong with
// the settings (a record length outside 3 to 252, a model name that is
// empty or longer than 32 characters).
std::string PackImage(const PackSettings& settings, const std::vector<unsigned char>& payload,
                      std::vector<unsigned char>* image);

// Text form of a version as the program shows it ("None", "2.57",
// "10.01.02b(Beta)").
std::string VersionText(uint32_t version);

// Reads a whole file. Returns an empty text on success, otherwise why not.
std::string ReadFileBytes(const std::string& path, std::vector<unsigned char>* bytes);
// Writes a whole file, replacing it. Returns an empty text on success.
std::string WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// Reads a catalogue list: one image file per line, the first line for slot
// 0 and so on; blank lines and lines starting with "#" are skipped, and
// surrounding blanks are dropped. Relative file names are taken from the
// list's own folder. Returns an empty text on success.
std::string ReadCatalogueList(const std::string& listPath, std::vector<std::string>* imagePaths);

// The C++ source of the catalogue: one constant byte array per image, in
// slot order, a zeroed header block for the empty slots, and the
// definition of ImageCatalogue. `images` holds at most 8 checked images.
std::string CatalogueSource(const std::vector<std::string>& imagePaths,
                            const std::vector<std::vector<unsigned char>>& images);

}  // namespace image_file
