// Firmware image files: rules, CRC-32, packing, catalogue source.
#include "firmware/tools/image_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "firmware/image.h"

namespace image_file {

namespace {

// mingw-w64 checks formats by the Microsoft runtime's rules unless told
// that the GNU rules (%zu included) apply; clang knows only "printf".
#if defined(__MINGW32__)
#define TLX_FORMAT_ATTRIBUTE __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define TLX_FORMAT_ATTRIBUTE __attribute__((format(printf, 1, 2)))
#else
#define TLX_FORMAT_ATTRIBUTE
#endif

std::string Format(const char* format, ...) TLX_FORMAT_ATTRIBUTE;

std::string Format(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

void PutLittleEndian32(std::vector<unsigned char>* bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*bytes)[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// The folder part of `path`, with its final separator; empty for none.
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsAbsolute(const std::string& path)
{
    if (!path.empty() && (path[0] == '/' || path[0] == '\\'))
        return true;
    return path.size() > 2 && path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

uint32_t Crc32(const unsigned char* bytes, size_t count)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

ImageCheck CheckImage(const std::vector<unsigned char>& bytes)
{
    ImageCheck check;
    const size_t fileSize = bytes.size();
    const size_t minimumSize = kImageHeaderSize + kImageTrailerSize;
    if (fileSize < minimumSize) {
        check.problems.push_back(Format("the file has %zu bytes, fewer than the %d-byte header and the "
                                        "%d-byte CRC-32 trailer",
                                        fileSize, kImageHeaderSize, kImageTrailerSize));
        return check;
    }
    const unsigned char* image = bytes.data();

    // totalSize must be the whole file.
    const uint32_t totalSize = ImageTotalSize(image);
    if (totalSize != fileSize)
        check.problems.push_back(
            Format("totalSize is %u but the file has %zu bytes: totalSize must be the file size", totalSize,
                   fileSize));

    // The records must fill the bytes from the header to the trailer.
    const size_t trailerOffset = fileSize - kImageTrailerSize;
    const uint32_t recordCount = ImageRecordCount(image);
    size_t offset = kImageHeaderSize;
    for (uint32_t index = 0; index < recordCount; ++index) {
        if (offset + 2 > trailerOffset) {
            check.problems.push_back(
                Format("recordCount is %u but only %u records fit before the trailer at offset %zu: the "
                       "records do not fill header to trailer exactly",
                       recordCount, index, trailerOffset));
            break;
        }
        const uint32_t length = RecordLength(image + offset);
        if (length < static_cast<uint32_t>(kMinRecordLength) || length > static_cast<uint32_t>(kMaxRecordLength)) {
            check.problems.push_back(Format("record %u at offset %zu has length %u, outside %d to %d", index,
                                            offset, length, kMinRecordLength, kMaxRecordLength));
            break;
        }
        if (offset + length > trailerOffset) {
            check.problems.push_back(
                Format("record %u at offset %zu has length %u and runs past the trailer at offset %zu: the "
                       "records do not fill header to trailer exactly",
                       index, offset, length, trailerOffset));
            break;
        }
        check.records.push_back(RecordInfo{offset, length});
        offset += length;
    }
    check.recordsEnd = offset;
    if (check.records.size() == recordCount && offset != trailerOffset)
        check.problems.push_back(Format("the %u records end at offset %zu, not at the trailer at offset %zu: "
                                        "the records do not fill header to trailer exactly",
                                        recordCount, offset, trailerOffset));

    // The model name must end within its field.
    if (std::memchr(image + kImageModelNameOffset, '\0', kImageModelNameSize) == nullptr)
        check.problems.push_back(Format("modelName has no NUL within its %d bytes", kImageModelNameSize));

    // The trailer must be the CRC-32 of everything before it.
    check.hasTrailer = true;
    check.storedCrc = ReadLittleEndian32(image, static_cast<int>(trailerOffset));
    check.computedCrc = Crc32(image, trailerOffset);
    if (check.storedCrc != check.computedCrc)
        check.problems.push_back(Format("the CRC-32 trailer is 0x%08X but the bytes before it give 0x%08X",
                                        check.storedCrc, check.computedCrc));
    return check;
}

std::string PackImage(const PackSettings& settings, const std::vector<unsigned char>& payload,
                      std::vector<unsigned char>* image)
{
    if (settings.recordLength < static_cast<uint32_t>(kMinRecordLength) ||
        settings.recordLength > static_cast<uint32_t>(kMaxRecordLength))
        return Format("record length %u is outside %d to %d", settings.recordLength, kMinRecordLength,
                      kMaxRecordLength);
    if (settings.modelName.empty() || settings.modelName.size() >= static_cast<size_t>(kImageModelNameSize))
        return Format("model name \"%s\" must have 1 to %d characters", settings.modelName.c_str(),
                      kImageModelNameSize - 1);
    if (settings.modelName.find('\0') != std::string::npos)
        return "model name must not contain a NUL";

    const size_t pieceSize = settings.recordLength - 2;
    const size_t fullRecords = payload.size() / pieceSize;
    const size_t rest = payload.size() % pieceSize;
    const size_t recordCount = fullRecords + (rest != 0 ? 1 : 0);
    const size_t totalSize = kImageHeaderSize + payload.size() + 2 * recordCount + kImageTrailerSize;
    if (totalSize > 0xFFFFFFFFu)
        return "payload too large for one image";

    image->assign(totalSize, 0);
    uint32_t longest = 0;
    size_t offset = kImageHeaderSize;
    for (size_t start = 0; start < payload.size(); start += pieceSize) {
        const size_t size = payload.size() - start < pieceSize ? payload.size() - start : pieceSize;
        const uint32_t length = static_cast<uint32_t>(size + 2);
        (*image)[offset] = static_cast<unsigned char>(length);
        (*image)[offset + 1] = static_cast<unsigned char>(length >> 8);
        std::memcpy(image->data() + offset + 2, payload.data() + start, size);
        offset += length;
        if (length > longest)
            longest = length;
    }

    PutLittleEndian32(image, kImageTotalSizeOffset, static_cast<uint32_t>(totalSize));
    PutLittleEndian32(image, kImageFormatWordOffset, kImageFormatWord);
    PutLittleEndian32(image, kImageFamilyCodeOffset, settings.familyCode);
    PutLittleEndian32(image, kImagePcbRevisionOffset, settings.pcbRevision);
    PutLittleEndian32(image, kImageVersionOffset, settings.version);
    PutLittleEndian32(image, kImageMaxRecordLengthOffset, longest);
    PutLittleEndian32(image, kImageRecordCountOffset, static_cast<uint32_t>(recordCount));
    PutLittleEndian32(image, kImageFlashLengthOffset, settings.flashLength);
    PutLittleEndian32(image, kImageFlashStartOffset, settings.flashStart);
    PutLittleEndian32(image, kImageFlashEndOffset, settings.flashStart + settings.flashLength - 1u);
    PutLittleEndian32(image, kImageZeroWordOffset, 0);
    std::memcpy(image->data() + kImageStartCommandOffset, settings.startCommandBytes, kStartCommandByteCount);
    std::memcpy(image->data() + kImageModelNameOffset, settings.modelName.data(), settings.modelName.size());
    const size_t trailerOffset = totalSize - kImageTrailerSize;
    PutLittleEndian32(image, trailerOffset, Crc32(image->data(), trailerOffset));
    return std::string();
}

std::string VersionText(uint32_t version)
{
    if (version == 0)
        return "None";
    const unsigned beta = (version >> 8) & 0xFFu;
    const unsigned letter = version & 0xFFu;
    std::string text = Format("%u.%02u", version >> 24, (version >> 16) & 0xFFu);
    if (beta != 0)
        text += Format(".%02u", beta);
    if (letter != 0)
        text += static_cast<char>((96u + letter) & 0xFFu);
    if (beta != 0)
        text += "(Beta)";
    return text;
}

std::string ReadFileBytes(const std::string& path, std::vector<unsigned char>* bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Format("cannot open %s: %s", path.c_str(), std::strerror(errno));
    bytes->clear();
    unsigned char block[65536];
    size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        bytes->insert(bytes->end(), block, block + got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return Format("cannot read %s", path.c_str());
    return std::string();
}

std::string WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return Format("cannot create %s: %s", path.c_str(), std::strerror(errno));
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(path.c_str());
        return Format("cannot write %s", path.c_str());
    }
    return std::string();
}

std::string ReadCatalogueList(const std::string& listPath, std::vector<std::string>* imagePaths)
{
    std::vector<unsigned char> bytes;
    const std::string error = ReadFileBytes(listPath, &bytes);
    if (!error.empty())
        return error;
    imagePaths->clear();
    const std::string folder = FolderOf(listPath);
    const std::string text(bytes.begin(), bytes.end());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const size_t last = line.find_last_not_of(" \t\r");
        line = line.substr(first, last - first + 1);
        imagePaths->push_back(IsAbsolute(line) ? line : folder + line);
    }
    return std::string();
}

std::string CatalogueSource(const std::vector<std::string>& imagePaths,
                            const std::vector<std::vector<unsigned char>>& images)
{
    std::string source;
    source += "// The firmware catalogue, generated by tlximage from the image files;\n"
              "// do not edit. Every image has passed the image rules.\n"
              "#include \"firmware/image.h\"\n\nnamespace {\n\n";
    for (size_t slot = 0; slot < images.size(); ++slot) {
        const std::vector<unsigned char>& image = images[slot];
        source += Format("// Slot %zu: %s, %zu bytes.\n", slot, FileNameOf(imagePaths[slot]).c_str(), image.size());
        source += Format("const unsigned char kSlot%zuImage[%zu] = {\n", slot, image.size());
        for (size_t i = 0; i < image.size(); ++i) {
            char number[8];
            std::snprintf(number, sizeof number, "%u,", image[i]);
            source += number;
            source += (i % 24 == 23 || i + 1 == image.size()) ? "\n" : "";
        }
        source += "};\n\n";
    }
    source += "// What every empty slot points at: a header whose totalSize reads 0.\n"
              "const unsigned char kEmptySlot[kImageHeaderSize] = {};\n\n"
              "}  // namespace\n\n"
              "const unsigned char* const ImageCatalogue[kCatalogueSlots] = {\n";
    for (size_t slot = 0; slot < static_cast<size_t>(kCatalogueSlots); ++slot)
        source += slot < images.size() ? Format("    kSlot%zuImage,\n", slot) : std::string("    kEmptySlot,\n");
    source += "};\n";
    return source;
}

}  // namespace image_file
