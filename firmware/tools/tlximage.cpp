// tlximage: makes and inspects firmware image files, and turns the
// catalogue's image files into the program's built-in catalogue.
//
//   tlximage pack --payload FILE --output FILE --family N --pcb-revision N
//                 --version V --flash-start N --flash-length N
//                 --start-bytes HEX --model NAME [--record-length N]
//   tlximage show FILE
//   tlximage catalogue --list FILE --output FILE [--depfile FILE]
//
// Exit status: 0 when done and every image keeps the rules, 1 when an
// image breaks a rule or a file cannot be read or written, 2 for a wrong
// command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "firmware/model_table.h"
#include "firmware/tools/image_file.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBroken = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Use:\n"
    "  tlximage pack --payload FILE --output FILE --family N --pcb-revision N\n"
    "                --version V --flash-start N --flash-length N\n"
    "                --start-bytes HEX --model NAME [--record-length N]\n"
    "      Builds an image file from a raw payload and the header fields.\n"
    "      N: decimal, or hexadecimal with 0x. V: a number such as 0x02390000,\n"
    "      or the version as shown, such as 2.57, 2.57a or 2.57.03.\n"
    "      HEX: the 7 start command bytes as 14 hexadecimal digits, optionally\n"
    "      separated by ':' (01:23:45:67:89:AB:CD).\n"
    "      --record-length (default 236) is the length of a full record, its\n"
    "      2-byte length field included: the payload is cut into pieces of that\n"
    "      length less 2, and what is left after the last full piece makes one\n"
    "      shorter last record.\n"
    "  tlximage show FILE\n"
    "      Prints the header, the records and whether the CRC and the rules hold.\n"
    "  tlximage catalogue --list FILE --output FILE [--depfile FILE]\n"
    "      Checks every image the list names (one file per line, slot 0 first)\n"
    "      and writes the catalogue source; refuses a broken image.\n";

int UsageError(const char* message)
{
    std::fprintf(stderr, "tlximage: %s\n\n%s", message, kUsage);
    return kExitUsage;
}

bool ParseNumber(const char* text, uint32_t* value)
{
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || number > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

// Reads an unsigned decimal field of at most 255 at `*text`.
bool ParseByteField(const char** text, unsigned* value)
{
    const char* p = *text;
    unsigned number = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
        number = number * 10 + static_cast<unsigned>(*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0 || number > 255)
        return false;
    *text = p;
    *value = number;
    return true;
}

// A version as a number, or in its shown form: major.minor[.beta][letter],
// optionally followed by "(Beta)".
bool ParseVersion(const char* text, uint32_t* version)
{
    if (std::strchr(text, '.') == nullptr)
        return ParseNumber(text, version);
    unsigned major = 0;
    unsigned minor = 0;
    unsigned beta = 0;
    unsigned letter = 0;
    const char* p = text;
    if (!ParseByteField(&p, &major) || *p++ != '.' || !ParseByteField(&p, &minor))
        return false;
    if (*p == '.') {
        ++p;
        if (!ParseByteField(&p, &beta))
            return false;
    }
    if (*p >= 'a' && *p <= 'z') {
        letter = static_cast<unsigned>(*p - 'a' + 1);
        ++p;
    }
    if (std::strcmp(p, "(Beta)") == 0)
        p += 6;
    if (*p != '\0')
        return false;
    *version = major << 24 | minor << 16 | beta << 8 | letter;
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseStartBytes(const char* text, unsigned char* bytes)
{
    int count = 0;
    for (const char* p = text; *p != '\0';) {
        if (*p == ':' || *p == ',' || *p == ' ') {
            ++p;
            continue;
        }
        const int high = HexDigit(p[0]);
        const int low = high < 0 ? -1 : HexDigit(p[1]);
        if (low < 0 || count == kStartCommandByteCount)
            return false;
        bytes[count++] = static_cast<unsigned char>(high << 4 | low);
        p += 2;
    }
    return count == kStartCommandByteCount;
}

// Prints what `show` shows of an image file; returns the exit status.
int ShowImage(const std::string& path, const std::vector<unsigned char>& bytes)
{
    const image_file::ImageCheck check = image_file::CheckImage(bytes);
    std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
    if (bytes.size() >= static_cast<size_t>(kImageHeaderSize)) {
        const unsigned char* image = bytes.data();
        const uint32_t family = ImageFamilyCode(image);
        const uint32_t revision = ImagePcbRevision(image);
        const char* tableName = LookupModelName(static_cast<int32_t>(family), static_cast<int32_t>(revision));
        char modelName[kImageModelNameSize + 1] = {};
        std::memcpy(modelName, ImageModelName(image), kImageModelNameSize);
        std::printf("  totalSize          %u\n", ImageTotalSize(image));
        std::printf("  format word        0x%08X\n", ReadLittleEndian32(image, kImageFormatWordOffset));
        std::printf("  familyCode         %u\n", family);
        std::printf("  pcbRevision        %u  (model table: %s)\n", revision,
                    tableName != nullptr ? tableName : "not listed");
        std::printf("  version            0x%08X  (%s)\n", ImageVersion(image),
                    image_file::VersionText(ImageVersion(image)).c_str());
        std::printf("  maxRecordLength    %u\n", ReadLittleEndian32(image, kImageMaxRecordLengthOffset));
        std::printf("  recordCount        %u\n", ImageRecordCount(image));
        std::printf("  flashLength        %u  (0x%X)\n", ImageFlashLength(image), ImageFlashLength(image));
        std::printf("  flashStart         0x%08X\n", ImageFlashStart(image));
        std::printf("  flashEnd           0x%08X\n", ReadLittleEndian32(image, kImageFlashEndOffset));
        std::printf("  word at 40         0x%08X\n", ReadLittleEndian32(image, kImageZeroWordOffset));
        std::printf("  startCommandBytes ");
        for (int i = 0; i < kStartCommandByteCount; ++i)
            std::printf(" %02X", ImageStartCommandBytes(image)[i]);
        std::printf("\n  modelName          \"%s\"\n", modelName);

        // Facts the program does not rely on, shown when they look wrong.
        uint32_t longest = 0;
        for (const image_file::RecordInfo& record : check.records)
            longest = record.length > longest ? record.length : longest;
        if (check.records.size() == ImageRecordCount(image) &&
            ReadLittleEndian32(image, kImageMaxRecordLengthOffset) != longest)
            std::printf("  note: maxRecordLength is not the longest record (%u)\n", longest);
        if (ReadLittleEndian32(image, kImageFlashEndOffset) != ImageFlashStart(image) + ImageFlashLength(image) - 1u)
            std::printf("  note: flashEnd is not flashStart + flashLength - 1\n");
    }

    // Records, as runs of equal lengths.
    std::printf("records: %zu, ending at offset %zu\n", check.records.size(), check.recordsEnd);
    for (size_t i = 0; i < check.records.size();) {
        size_t run = 1;
        while (i + run < check.records.size() && check.records[i + run].length == check.records[i].length)
            ++run;
        std::printf("  %6zu x %u bytes (from offset %zu)\n", run, check.records[i].length, check.records[i].offset);
        i += run;
    }

    if (check.hasTrailer)
        std::printf("CRC-32: trailer 0x%08X, computed 0x%08X: %s\n", check.storedCrc, check.computedCrc,
                    check.storedCrc == check.computedCrc ? "CRC ok" : "CRC MISMATCH");
    if (check.problems.empty()) {
        std::printf("rules: all hold\n");
        return kExitOk;
    }
    std::printf("rules broken:\n");
    for (const std::string& problem : check.problems)
        std::printf("  %s\n", problem.c_str());
    return kExitBroken;
}

int RunShow(int argc, char** argv)
{
    if (argc != 3)
        return UsageError("show takes one image file");
    std::vector<unsigned char> bytes;
    const std::string error = image_file::ReadFileBytes(argv[2], &bytes);
    if (!error.empty()) {
        std::fprintf(stderr, "tlximage: %s\n", error.c_str());
        return kExitBroken;
    }
    return ShowImage(argv[2], bytes);
}

int RunPack(int argc, char** argv)
{
    image_file::PackSettings settings;
    std::string payloadPath;
    std::string outputPath;
    enum : unsigned { kFamily = 1, kRevision = 2, kVersion = 4, kStart = 8, kLength = 16, kBytes = 32, kModel = 64 };
    unsigned given = 0;
    for (int i = 2; i < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr)
            return UsageError(("missing value after " + option).c_str());
        bool ok = true;
        if (option == "--payload") {
            payloadPath = value;
        } else if (option == "--output") {
            outputPath = value;
        } else if (option == "--family") {
            ok = ParseNumber(value, &settings.familyCode);
            given |= kFamily;
        } else if (option == "--pcb-revision") {
            ok = ParseNumber(value, &settings.pcbRevision);
            given |= kRevision;
        } else if (option == "--version") {
            ok = ParseVersion(value, &settings.version);
            given |= kVersion;
        } else if (option == "--flash-start") {
            ok = ParseNumber(value, &settings.flashStart);
            given |= kStart;
        } else if (option == "--flash-length") {
            ok = ParseNumber(value, &settings.flashLength);
            given |= kLength;
        } else if (option == "--start-bytes") {
            ok = ParseStartBytes(value, settings.startCommandBytes);
            given |= kBytes;
        } else if (option == "--model") {
            settings.modelName = value;
            given |= kModel;
        } else if (option == "--record-length") {
            ok = ParseNumber(value, &settings.recordLength);
        } else {
            return UsageError(("unknown option " + option).c_str());
        }
        if (!ok)
            return UsageError(("bad value \"" + std::string(value) + "\" for " + option).c_str());
    }
    if (payloadPath.empty() || outputPath.empty() ||
        given != (kFamily | kRevision | kVersion | kStart | kLength | kBytes | kModel))
        return UsageError("pack needs --payload, --output, --family, --pcb-revision, --version, --flash-start, "
                          "--flash-length, --start-bytes and --model");

    std::vector<unsigned char> payload;
    std::string error = image_file::ReadFileBytes(payloadPath, &payload);
    std::vector<unsigned char> image;
    if (error.empty())
        error = image_file::PackImage(settings, payload, &image);
    if (error.empty())
        error = image_file::WriteFileBytes(outputPath, image);
    if (!error.empty()) {
        std::fprintf(stderr, "tlximage: %s\n", error.c_str());
        return kExitBroken;
    }
    return ShowImage(outputPath, image);
}

std::string DepfilePath(const std::string& path)
{
    std::string escaped;
    for (const char c : path) {
        if (c == ' ' || c == '#')
            escaped += '\\';
        else if (c == '$')
            escaped += '$';
        escaped += c;
    }
    return escaped;
}

int RunCatalogue(int argc, char** argv)
{
    std::string listPath;
    std::string outputPath;
    std::string depfilePath;
    for (int i = 2; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return UsageError(("missing value after " + option).c_str());
        if (option == "--list")
            listPath = argv[i + 1];
        else if (option == "--output")
            outputPath = argv[i + 1];
        else if (option == "--depfile")
            depfilePath = argv[i + 1];
        else
            return UsageError(("unknown option " + option).c_str());
    }
    if (listPath.empty() || outputPath.empty())
        return UsageError("catalogue needs --list and --output");

    std::vector<std::string> imagePaths;
    std::string error = image_file::ReadCatalogueList(listPath, &imagePaths);
    if (!error.empty()) {
        std::fprintf(stderr, "tlximage: %s\n", error.c_str());
        return kExitBroken;
    }
    bool broken = false;
    if (imagePaths.size() > static_cast<size_t>(kCatalogueSlots)) {
        std::fprintf(stderr, "tlximage: %s: lists %zu images, more than the %d catalogue slots\n", listPath.c_str(),
                     imagePaths.size(), kCatalogueSlots);
        broken = true;
    }
    std::vector<std::vector<unsigned char>> images(imagePaths.size());
    for (size_t slot = 0; slot < imagePaths.size(); ++slot) {
        error = image_file::ReadFileBytes(imagePaths[slot], &images[slot]);
        if (!error.empty()) {
            std::fprintf(stderr, "tlximage: %s (slot %zu in %s)\n", error.c_str(), slot, listPath.c_str());
            broken = true;
            continue;
        }
        const image_file::ImageCheck check = image_file::CheckImage(images[slot]);
        for (const std::string& problem : check.problems)
            std::fprintf(stderr, "tlximage: %s: %s\n", imagePaths[slot].c_str(), problem.c_str());
        broken = broken || !check.problems.empty();
    }
    if (broken) {
        std::fprintf(stderr, "tlximage: firmware catalogue not built\n");
        return kExitBroken;
    }

    const std::string source = image_file::CatalogueSource(imagePaths, images);
    error = image_file::WriteFileBytes(outputPath, std::vector<unsigned char>(source.begin(), source.end()));
    if (error.empty() && !depfilePath.empty()) {
        std::string depfile = DepfilePath(outputPath) + ": " + DepfilePath(listPath);
        for (const std::string& path : imagePaths)
            depfile += " \\\n  " + DepfilePath(path);
        depfile += "\n";
        error = image_file::WriteFileBytes(depfilePath, std::vector<unsigned char>(depfile.begin(), depfile.end()));
    }
    if (!error.empty()) {
        std::fprintf(stderr, "tlximage: %s\n", error.c_str());
        std::remove(outputPath.c_str());
        return kExitBroken;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return UsageError("no command given");
    const std::string command = argv[1];
    if (command == "pack")
        return RunPack(argc, argv);
    if (command == "show")
        return RunShow(argc, argv);
    if (command == "catalogue")
        return RunCatalogue(argc, argv);
    if (command == "help" || command == "--help" || command == "-h") {
        std::printf("%s", kUsage);
        return kExitOk;
    }
    return UsageError(("unknown command " + command).c_str());
}
