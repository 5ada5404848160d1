// The image rules as the build step applies them, tlximage's pack and show
// commands, and the committed built-in image.
#include "firmware/image.h"
#include "firmware/tools/image_file.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kTool = TLXIMAGE_PATH;
const std::string kImagesDir = TLX_IMAGES_DIR;

void PutWord(Bytes* bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*bytes)[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t Word(const Bytes& bytes, size_t offset)
{
    return ReadLittleEndian32(bytes.data(), static_cast<int>(offset));
}

// Recomputes the trailer after a change.
void Reseal(Bytes* image)
{
    PutWord(image, image->size() - 4, image_file::Crc32(image->data(), image->size() - 4));
}

image_file::PackSettings SmallSettings()
{
    image_file::PackSettings settings;
    settings.familyCode = 68;
    settings.pcbRevision = 10;
    settings.version = 0x02390000;
    settings.flashStart = 0x2000;
    settings.flashLength = 100;
    const unsigned char start[7] = {1, 2, 3, 4, 5, 6, 7};
    std::memcpy(settings.startCommandBytes, start, 7);
    settings.modelName = "VEL2346";
    settings.recordLength = 12;
    return settings;
}

Bytes Counting(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

// A good small image of 131 bytes: 3 records of 12 bytes and one of 7.
Bytes SmallImage()
{
    Bytes image;
    EXPECT_EQ(image_file::PackImage(SmallSettings(), Counting(35), &image), "");
    return image;
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tlximage-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }

    std::string Path(const std::string& name) const { return folder + "/" + name; }

    void Write(const std::string& name, const Bytes& bytes) const
    {
        ASSERT_EQ(image_file::WriteFileBytes(Path(name), bytes), "");
    }
    void WriteText(const std::string& name, const std::string& text) const
    {
        Write(name, Bytes(text.begin(), text.end()));
    }

    ToolRun Tool(const std::string& arguments) const
    {
        const std::string command =
            "'" + kTool + "' " + arguments + " > '" + Path("out.txt") + "' 2> '" + Path("err.txt") + "'";
        const int raw = std::system(command.c_str());
        ToolRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(Path("out.txt")), ReadText(Path("err.txt"))};
        return run;
    }

    // Runs the build step on a list naming `names`, in slot order.
    ToolRun BuildCatalogue(const std::vector<std::string>& names) const
    {
        std::string list = "# test catalogue\n\n";
        for (const std::string& name : names)
            list += "  " + name + "\n";
        WriteText("catalogue.txt", list);
        return Tool("catalogue --list '" + Path("catalogue.txt") + "' --output '" + Path("catalogue.cpp") +
                    "' --depfile '" + Path("catalogue.d") + "'");
    }

    bool Exists(const std::string& name) const { return access(Path(name).c_str(), F_OK) == 0; }

    std::string folder;
};

// --- CRC and packing -------------------------------------------------------

TEST(ImageCrc, IsTheIsoHdlcCrc32)
{
    const char text[] = "123456789";
    EXPECT_EQ(image_file::Crc32(reinterpret_cast<const unsigned char*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(image_file::Crc32(nullptr, 0), 0u);
}

TEST(Pack, CutsThePayloadIntoFullRecordsAndOneShorterLast)
{
    const Bytes payload = Counting(656 * 234 + 70);
    image_file::PackSettings settings = SmallSettings();
    settings.recordLength = 236;
    settings.flashLength = 147004;
    Bytes image;
    ASSERT_EQ(image_file::PackImage(settings, payload, &image), "");
    ASSERT_EQ(image.size(), 154976u);
    EXPECT_EQ(Word(image, 0), 154976u);
    EXPECT_EQ(Word(image, 4), 0x01000000u);
    EXPECT_EQ(Word(image, 20), 236u);
    EXPECT_EQ(Word(image, 24), 657u);
    EXPECT_EQ(Word(image, 36), 0x25E3Bu);
    EXPECT_EQ(Word(image, 40), 0u);

    const image_file::ImageCheck check = image_file::CheckImage(image);
    EXPECT_TRUE(check.problems.empty()) << check.problems.front();
    ASSERT_EQ(check.records.size(), 657u);
    EXPECT_EQ(check.records[655].length, 236u);
    EXPECT_EQ(check.records[656].length, 72u);
    EXPECT_EQ(check.recordsEnd, 154972u);
    // The payload comes back in order, record after record.
    Bytes joined;
    for (const image_file::RecordInfo& record : check.records)
        joined.insert(joined.end(), image.begin() + record.offset + 2, image.begin() + record.offset + record.length);
    EXPECT_EQ(joined, payload);
}

TEST(Pack, PayloadOfWholeRecordsHasNoShortRecord)
{
    Bytes image;
    ASSERT_EQ(image_file::PackImage(SmallSettings(), Counting(30), &image), "");
    const image_file::ImageCheck check = image_file::CheckImage(image);
    EXPECT_TRUE(check.problems.empty());
    ASSERT_EQ(check.records.size(), 3u);
    EXPECT_EQ(check.records[2].length, 12u);

    ASSERT_EQ(image_file::PackImage(SmallSettings(), Bytes(), &image), "");
    EXPECT_EQ(image.size(), 88u);
    EXPECT_EQ(Word(image, 24), 0u);
    EXPECT_TRUE(image_file::CheckImage(image).problems.empty());
}

TEST(Pack, RefusesSettingsNoImageCanHold)
{
    Bytes image;
    image_file::PackSettings settings = SmallSettings();
    settings.recordLength = 2;
    EXPECT_NE(image_file::PackImage(settings, Counting(10), &image), "");
    settings.recordLength = 253;
    EXPECT_NE(image_file::PackImage(settings, Counting(10), &image), "");
    settings.recordLength = 252;
    EXPECT_EQ(image_file::PackImage(settings, Counting(10), &image), "");
    settings.modelName = std::string(33, 'M');
    EXPECT_NE(image_file::PackImage(settings, Counting(10), &image), "");
    settings.modelName = std::string(32, 'M');
    EXPECT_EQ(image_file::PackImage(settings, Counting(10), &image), "");
    settings.modelName = "";
    EXPECT_NE(image_file::PackImage(settings, Counting(10), &image), "");
}

// --- the build step ----------------------------------------------------------

struct BrokenCase {
    const char* name;
    void (*breakImage)(Bytes* image);
    const char* rule;    // what the message must say
};

void WrongTotalSize(Bytes* image)
{
    PutWord(image, 0, static_cast<uint32_t>(image->size() + 1));
    Reseal(image);
}
void GapBeforeTrailer(Bytes* image)
{
    image->insert(image->end() - 4, 0xAA);
    PutWord(image, 0, static_cast<uint32_t>(image->size()));
    Reseal(image);
}
void RecordPastTrailer(Bytes* image)
{
    (*image)[84 + 36] = 11;    // the 7-byte last record claims 11
    Reseal(image);
}
void TooFewRecordsFit(Bytes* image)
{
    PutWord(image, 24, 5);
    Reseal(image);
}
void RecordOfTwo(Bytes* image)
{
    // Records of 12, 2, ... : the second is too short to hold a payload.
    (*image)[84 + 12] = 2;
    Reseal(image);
}
void RecordOf253(Bytes* image)
{
    (*image)[84] = 253;
    Reseal(image);
}
void ModelNameWithoutNul(Bytes* image)
{
    std::memset(image->data() + 51, 'M', 33);
    Reseal(image);
}
void StaleTrailer(Bytes* image)
{
    (*image)[84 + 5] ^= 0x01;
}
void TooShortFile(Bytes* image)
{
    image->resize(60);
}

const BrokenCase kBrokenCases[] = {
    {"wrong_total.img", WrongTotalSize, "totalSize is 132 but the file has 131 bytes"},
    {"gap.img", GapBeforeTrailer, "the records do not fill header to trailer exactly"},
    {"past.img", RecordPastTrailer, "record 3 at offset 120 has length 11 and runs past the trailer"},
    {"count.img", TooFewRecordsFit, "recordCount is 5 but only 4 records fit"},
    {"short_record.img", RecordOfTwo, "record 1 at offset 96 has length 2, outside 3 to 252"},
    {"long_record.img", RecordOf253, "record 0 at offset 84 has length 253, outside 3 to 252"},
    {"no_nul.img", ModelNameWithoutNul, "modelName has no NUL within its 33 bytes"},
    {"stale_crc.img", StaleTrailer, "CRC-32 trailer is 0x"},
    {"tiny.img", TooShortFile, "fewer than the 84-byte header and the 4-byte CRC-32 trailer"},
};

class BuildStep : public TempFolder {};

TEST_F(BuildStep, SmallImageKeepsTheRules)
{
    const Bytes image = SmallImage();
    EXPECT_EQ(image.size(), 131u);
    EXPECT_TRUE(image_file::CheckImage(image).problems.empty());
}

TEST_F(BuildStep, EachBrokenRuleStopsTheBuildNamingFileAndRule)
{
    for (const BrokenCase& c : kBrokenCases) {
        SCOPED_TRACE(c.name);
        Bytes image = SmallImage();
        c.breakImage(&image);
        Write(c.name, image);
        std::remove(Path("catalogue.cpp").c_str());
        const ToolRun run = BuildCatalogue({c.name});
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.err.find(Path(c.name) + ": "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.rule), std::string::npos) << run.err;
        EXPECT_FALSE(Exists("catalogue.cpp")) << "no catalogue source is left behind";
    }
}

TEST_F(BuildStep, BrokenImageInALaterSlotStopsTheBuildToo)
{
    Write("good.img", SmallImage());
    Bytes bad = SmallImage();
    StaleTrailer(&bad);
    Write("bad.img", bad);
    const ToolRun run = BuildCatalogue({"good.img", "bad.img"});
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.err.find(Path("good.img")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(Path("bad.img") + ": the CRC-32 trailer"), std::string::npos) << run.err;
}

TEST_F(BuildStep, MissingImageFileStopsTheBuild)
{
    const ToolRun run = BuildCatalogue({"absent.img"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("absent.img"), std::string::npos) << run.err;
}

TEST_F(BuildStep, MoreThanEightImagesStopTheBuild)
{
    Write("good.img", SmallImage());
    const ToolRun run = BuildCatalogue(std::vector<std::string>(9, "good.img"));
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(Path("catalogue.txt") + ": lists 9 images, more than the 8 catalogue slots"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(Exists("catalogue.cpp"));
}

TEST_F(BuildStep, CatalogueHoldsTheImagesInListOrderThenEmptySlots)
{
    Bytes second = SmallImage();
    PutWord(&second, 12, 11);
    Reseal(&second);
    Write("first.img", SmallImage());
    Write("second.img", second);
    const ToolRun run = BuildCatalogue({"first.img", "second.img"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string source = ReadText(Path("catalogue.cpp"));
    EXPECT_NE(source.find("const unsigned char* const ImageCatalogue[kCatalogueSlots] = {\n"
                          "    kSlot0Image,\n    kSlot1Image,\n    kEmptySlot,\n    kEmptySlot,\n"
                          "    kEmptySlot,\n    kEmptySlot,\n    kEmptySlot,\n    kEmptySlot,\n};\n"),
              std::string::npos)
        << source;
    // Slot 1 carries the second image's own bytes: its PCB revision 11.
    EXPECT_NE(source.find("// Slot 1: second.img, 131 bytes.\nconst unsigned char kSlot1Image[131] = {\n"
                          "131,0,0,0,0,0,0,1,68,0,0,0,11,0,0,0,"),
              std::string::npos)
        << source;
    EXPECT_NE(source.find("const unsigned char kEmptySlot[kImageHeaderSize] = {};"), std::string::npos);
    // The depfile names the list and every image, so that a change to any
    // of them rebuilds the catalogue.
    const std::string depfile = ReadText(Path("catalogue.d"));
    EXPECT_EQ(depfile.rfind(Path("catalogue.cpp") + ": " + Path("catalogue.txt"), 0), 0u) << depfile;
    EXPECT_NE(depfile.find(Path("first.img")), std::string::npos);
    EXPECT_NE(depfile.find(Path("second.img")), std::string::npos);
}

TEST_F(BuildStep, EmptyListGivesAllSlotsEmpty)
{
    const ToolRun run = BuildCatalogue({});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadText(Path("catalogue.cpp")).find("kSlot0Image"), std::string::npos);
}

// --- show and pack on the command line ---------------------------------------------

class ToolCommands : public TempFolder {};

TEST_F(ToolCommands, ShowReportsAGoodImage)
{
    const ToolRun run = Tool("show '" + kImagesDir + "/VEL2346-2.57.img'");
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* line : {"  totalSize          154976\n", "  familyCode         68\n",
                             "  pcbRevision        10  (model table: VEL2346)\n",
                             "  version            0x02390000  (2.57)\n", "  recordCount        657\n",
                             "  modelName          \"VEL2346\"\n", "records: 657, ending at offset 154972\n",
                             "     656 x 236 bytes (from offset 84)\n", "       1 x 72 bytes (from offset 154900)\n",
                             ": CRC ok\n", "rules: all hold\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
}

TEST_F(ToolCommands, ShowReportsEveryBrokenRule)
{
    Bytes image = SmallImage();
    ModelNameWithoutNul(&image);
    StaleTrailer(&image);
    Write("bad.img", image);
    const ToolRun run = Tool("show '" + Path("bad.img") + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("CRC MISMATCH"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("rules broken:\n  modelName has no NUL"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  the CRC-32 trailer is"), std::string::npos) << run.out;
}

TEST_F(ToolCommands, PackRemakesTheBuiltInImageExactly)
{
    // The stand-in payload of the built-in image (see
    // firmware/images/make_builtin_image.py).
    Bytes payload;
    uint32_t state = 0x23460257u;
    for (size_t i = 0; i < 656 * 234 + 70; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        payload.push_back(static_cast<unsigned char>((state >> 24) + i / 234));
    }
    Write("payload.bin", payload);
    const ToolRun run = Tool("pack --payload '" + Path("payload.bin") + "' --output '" + Path("made.img") +
                         "' --family 68 --pcb-revision 10 --version 2.57 --flash-start 0x2000"
                         " --flash-length 147004 --start-bytes 01:23:45:67:89:AB:CD --model VEL2346"
                         " --record-length 236");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("CRC ok"), std::string::npos);
    Bytes made;
    Bytes committed;
    ASSERT_EQ(image_file::ReadFileBytes(Path("made.img"), &made), "");
    ASSERT_EQ(image_file::ReadFileBytes(kImagesDir + "/VEL2346-2.57.img", &committed), "");
    EXPECT_TRUE(made == committed) << "the committed image is what pack makes";
}

TEST_F(ToolCommands, PackReadsVersionsInTheirShownForm)
{
    Write("payload.bin", Counting(5));
    struct {
        const char* text;
        uint32_t version;
    } cases[] = {{"2.57", 0x02390000u}, {"10.01.02b(Beta)", 0x0A010202u}, {"2.57a", 0x02390001u},
                 {"0x02390003", 0x02390003u}, {"37289984", 0x02390000u}};
    for (const auto& c : cases) {
        const ToolRun run = Tool("pack --payload '" + Path("payload.bin") + "' --output '" + Path("v.img") +
                             "' --family 1 --pcb-revision 2 --version '" + c.text +
                             "' --flash-start 0 --flash-length 5 --start-bytes 00000000000000 --model X");
        ASSERT_EQ(run.status, 0) << c.text << run.err;
        Bytes image;
        ASSERT_EQ(image_file::ReadFileBytes(Path("v.img"), &image), "");
        EXPECT_EQ(Word(image, 16), c.version) << c.text;
    }
}

TEST_F(ToolCommands, PackRefusesAWrongCommandLine)
{
    Write("payload.bin", Counting(5));
    const std::string base = "pack --payload '" + Path("payload.bin") + "' --output '" + Path("x.img") +
                             "' --family 1 --pcb-revision 2 --flash-start 0 --flash-length 5 --model X";
    EXPECT_EQ(Tool(base + " --version 2.57").status, 2) << "start bytes missing";
    EXPECT_EQ(Tool(base + " --version 2.57 --start-bytes 0102").status, 2) << "too few start bytes";
    EXPECT_EQ(Tool(base + " --version 2.x5 --start-bytes 00000000000000").status, 2);
    EXPECT_EQ(Tool(base + " --version 2.57 --start-bytes 00000000000000 --record-length 253").status, 1);
    EXPECT_FALSE(Exists("x.img"));
    EXPECT_EQ(Tool("frobnicate").status, 2);
}

}  // namespace
