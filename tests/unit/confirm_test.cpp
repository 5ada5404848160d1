// The version display and the confirmation before a download: text form
// and width of versions, the two aligned version lines, the three cases,
// their questions and the keys that answer them.
#include "app/console.h"
#include "fake.h"
#include "firmware/image.h"
#include "firmware_test_image.h"
#include "update/confirm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr FirmwareVersion Version(unsigned major, unsigned minor, unsigned beta = 0, unsigned letter = 0)
{
    return major << 24 | minor << 16 | beta << 8 | letter;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// --- text form and width -------------------------------------------------

struct VersionCase {
    FirmwareVersion version;
    const char* text;
    int32_t width;
};

class VersionForms : public ::testing::TestWithParam<VersionCase> {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST_P(VersionForms, TextAndWidth)
{
    const VersionCase& c = GetParam();
    PrintVersion(c.version, 0);
    EXPECT_EQ(fake::TakeOutput(), std::string(c.text) + ",");
    EXPECT_EQ(VersionTextWidth(c.version), c.width);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionForms,
    ::testing::Values(VersionCase{0, "None", 4}, VersionCase{Version(2, 56), "2.56", 4},
                      VersionCase{Version(2, 57), "2.57", 4}, VersionCase{Version(2, 57, 0, 1), "2.57a", 5},
                      VersionCase{Version(2, 57, 3), "2.57.03(Beta)", 13}, VersionCase{Version(10, 0), "10.00", 5},
                      VersionCase{Version(10, 1, 2, 2), "10.01.02b(Beta)", 15},
                      VersionCase{Version(0, 0, 0, 1), "0.00a", 5}, VersionCase{Version(0, 0, 1), "0.00.01(Beta)", 13},
                      VersionCase{Version(2, 5), "2.05", 4}, VersionCase{Version(9, 99), "9.99", 4},
                      // Fields of 100 and more, and letters past "z", go beyond the width.
                      VersionCase{Version(255, 255, 255, 26), "255.255.255z(Beta)", 15},
                      VersionCase{Version(2, 100), "2.100", 4},
                      VersionCase{Version(2, 57, 0, 31), "2.57\x7f", 5}));

TEST(VersionForm, PadAddsSpacesAfterTheComma)
{
    fake::Reset();
    PrintVersion(Version(2, 57), 3);
    PrintVersion(0, -2);
    EXPECT_EQ(fake::TakeOutput(), "2.57,   None,");
}

// --- the version lines and the confirmation ---------------------------------

class Confirm : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    DeviceInfo& Device(FirmwareVersion version, const char* productName = "VEL2346")
    {
        DeviceInfo& device = gDeviceInfo;
        device.familyCode = 68;
        device.pcbRevision = 10;
        device.version = version;
        std::strncpy(device.productName, productName, sizeof device.productName);
        device.modelName = device.productName;
        return device;
    }

    firmware_test::TestImage Image(FirmwareVersion version, const char* modelName = "VEL2346")
    {
        return firmware_test::MakeImage(68, 10, version, modelName);
    }

    struct Outcome {
        int result;
        std::string screen;
    };

    Outcome Ask(FirmwareVersion deviceVersion, FirmwareVersion imageVersion, const std::string& keys, int askIfSame = 1,
                int askIfNewer = 1, int askIfOlder = 1)
    {
        fake::QueueKeys(keys);
        const firmware_test::TestImage image = Image(imageVersion);
        const int result = ConfirmUpdate(Device(deviceVersion), image.data(), askIfSame, askIfNewer, askIfOlder);
        return Outcome{result, fake::TakeOutput()};
    }
};

struct LinesCase {
    FirmwareVersion device;
    FirmwareVersion image;
    const char* lines;
};

class VersionLines : public Confirm, public ::testing::WithParamInterface<LinesCase> {};

TEST_P(VersionLines, ModelTextsStartInOneColumn)
{
    const LinesCase& c = GetParam();
    const firmware_test::TestImage image = Image(c.image);
    PrintVersions(Device(c.device), image.data());
    EXPECT_EQ(fake::TakeOutput(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, VersionLines,
    ::testing::Values(LinesCase{Version(2, 56), Version(2, 57),
                                "\n Current Version: 2.56, Model: VEL2346"
                                "\n Update Version:  2.57, Model: VEL2346"},
                      LinesCase{Version(2, 57), Version(10, 1, 2, 2),
                                "\n Current Version: 2.57,            Model: VEL2346"
                                "\n Update Version:  10.01.02b(Beta), Model: VEL2346"},
                      LinesCase{Version(10, 0), Version(2, 57),
                                "\n Current Version: 10.00, Model: VEL2346"
                                "\n Update Version:  2.57,  Model: VEL2346"},
                      LinesCase{0, Version(2, 57),
                                "\n Current Version: None, Model: VEL2346"
                                "\n Update Version:  2.57, Model: VEL2346"}));

TEST_F(Confirm, VersionLinesNameTheDeviceAndTheImageEachByItsOwnName)
{
    const firmware_test::TestImage image = Image(Version(2, 57), "NEWNAME");
    PrintVersions(Device(Version(2, 56), "RKM510"), image.data());
    EXPECT_EQ(fake::TakeOutput(), "\n Current Version: 2.56, Model: RKM510"
                                  "\n Update Version:  2.57, Model: NEWNAME");
}

TEST_F(Confirm, DeviceNameWithoutNulIsPrintedAtItsFullSizeOnly)
{
    struct {
        DeviceInfo device;
        char after[16];
    } memory;
    std::memset(&memory, 'Z', sizeof memory);
    memory.device.version = Version(2, 57);
    const std::string full(kProductNameSize, 'Q');
    std::memcpy(memory.device.productName, full.data(), kProductNameSize);
    memory.device.modelName = memory.device.productName;
    const firmware_test::TestImage image = Image(Version(2, 57));
    EXPECT_EQ(ConfirmUpdate(memory.device, image.data(), 0, 0, 0), 0);
    EXPECT_EQ(fake::TakeOutput(), "\nThe firmware in the " + full + " matches this update.\n"
                                  "\n Current Version: 2.57, Model: " + full +
                                  "\n Update Version:  2.57, Model: VEL2346\n");
}

TEST_F(Confirm, NewerImageAnsweredYes)
{
    const Outcome outcome = Ask(Version(2, 56), Version(2, 57), "y");
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.screen, "\n\nThis update is newer than the firmware inside the VEL2346.\n"
                              "\n Current Version: 2.56, Model: VEL2346"
                              "\n Update Version:  2.57, Model: VEL2346"
                              "\n\nContinue with update to newer version? (Y,N) Y\n");
}

TEST_F(Confirm, NewerImageAnsweredNoIsCancelled)
{
    const Outcome outcome = Ask(Version(2, 56), Version(2, 57), "n");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.screen, "\n\nThis update is newer than the firmware inside the VEL2346.\n"
                              "\n Current Version: 2.56, Model: VEL2346"
                              "\n Update Version:  2.57, Model: VEL2346"
                              "\n\nContinue with update to newer version? (Y,N) N\n"
                              "\nUpdate cancelled.\n\n");
}

TEST_F(Confirm, SameVersionAsksToUpdateAnyway)
{
    Outcome outcome = Ask(Version(2, 57), Version(2, 57), "Y");
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.screen, "\nThe firmware in the VEL2346 matches this update.\n"
                              "\n Current Version: 2.57, Model: VEL2346"
                              "\n Update Version:  2.57, Model: VEL2346"
                              "\n\nUpdate anyway? (Y,N) Y\n");
    outcome = Ask(Version(2, 57), Version(2, 57), "N");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(EndsWith(outcome.screen, "\n\nUpdate anyway? (Y,N) N\n\nUpdate cancelled.\n\n")) << outcome.screen;
}

TEST_F(Confirm, OlderImageAsksWhetherTheUserIsSure)
{
    Outcome outcome = Ask(Version(10, 0), Version(2, 57), "y");
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.screen, "\n\nThis update is OLDER than the firmware inside the VEL2346!\n"
                              "\n Current Version: 10.00, Model: VEL2346"
                              "\n Update Version:  2.57,  Model: VEL2346"
                              "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) Y\n");
    outcome = Ask(Version(10, 0), Version(2, 57), "n");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_NE(outcome.screen.find("firmware? (Y,N) N\n\nUpdate cancelled.\n\n"), std::string::npos) << outcome.screen;
}

TEST_F(Confirm, OtherKeysAreIgnoredWithoutEchoUntilYOrN)
{
    std::string keys = "\r\x1b" "5aq ";
    keys += "y";
    fake::QueueKey(kFunctionKey + 'Y');    // a function key whose second code is "Y"
    fake::QueueKey(kFunctionKey + 'N');
    fake::QueueKeys(keys);
    const firmware_test::TestImage image = Image(Version(2, 57));
    EXPECT_EQ(ConfirmUpdate(Device(Version(2, 56)), image.data(), 1, 1, 1), 1);
    EXPECT_EQ(fake::TakeOutput(), "\n\nThis update is newer than the firmware inside the VEL2346.\n"
                                  "\n Current Version: 2.56, Model: VEL2346"
                                  "\n Update Version:  2.57, Model: VEL2346"
                                  "\n\nContinue with update to newer version? (Y,N) Y\n");
    EXPECT_EQ(fake::KeysLeft(), 0u);
}

TEST_F(Confirm, AnswerLeavesLaterKeysWaiting)
{
    const Outcome outcome = Ask(Version(2, 56), Version(2, 57), "xNy");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(fake::KeysLeft(), 1u) << "a key typed ahead before the question answers it; later ones stay";
}

TEST_F(Confirm, EndedInputEndsTheProgramThroughItsExit)
{
    fake::QueueKeys("x");    // then nothing can come any more
    const firmware_test::TestImage image = Image(Version(2, 57));
    try {
        ConfirmUpdate(Device(Version(2, 56)), image.data(), 1, 1, 1);
        FAIL() << "ConfirmUpdate returned without an answer";
    } catch (const fake::ProcessEnded& ended) {
        EXPECT_EQ(ended.status, 1);
    }
    const std::string screen = fake::TakeOutput();
    EXPECT_TRUE(EndsWith(screen, "(Y,N) \nPress any key to exit...\n")) << screen;
}

struct UnaskedCase {
    FirmwareVersion device;
    int result;
    const char* screen;
};

class ConfirmWithoutQuestion : public Confirm, public ::testing::WithParamInterface<UnaskedCase> {};

TEST_P(ConfirmWithoutQuestion, ClearFlagGivesALineBreakAndTheCasesResult)
{
    const UnaskedCase& c = GetParam();
    const firmware_test::TestImage image = Image(Version(2, 57));
    fake::QueueKeys("y");
    EXPECT_EQ(ConfirmUpdate(Device(c.device), image.data(), 0, 0, 0), c.result);
    EXPECT_EQ(fake::TakeOutput(), c.screen);
    EXPECT_EQ(fake::KeysLeft(), 1u) << "no key is read";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfirmWithoutQuestion,
    ::testing::Values(UnaskedCase{Version(2, 57), 0,
                                  "\nThe firmware in the VEL2346 matches this update.\n"
                                  "\n Current Version: 2.57, Model: VEL2346"
                                  "\n Update Version:  2.57, Model: VEL2346\n"},
                      UnaskedCase{Version(2, 56), 1,
                                  "\n\nThis update is newer than the firmware inside the VEL2346.\n"
                                  "\n Current Version: 2.56, Model: VEL2346"
                                  "\n Update Version:  2.57, Model: VEL2346\n"},
                      UnaskedCase{0, 1,
                                  "\n\nThis update is newer than the firmware inside the VEL2346.\n"
                                  "\n Current Version: None, Model: VEL2346"
                                  "\n Update Version:  2.57, Model: VEL2346\n"},
                      UnaskedCase{Version(10, 0), 0,
                                  "\n\nThis update is OLDER than the firmware inside the VEL2346!\n"
                                  "\n Current Version: 10.00, Model: VEL2346"
                                  "\n Update Version:  2.57,  Model: VEL2346\n"}));

TEST_F(Confirm, EachFlagBelongsToItsCase)
{
    // Only the newer case asks: the same and the older case answer at once.
    EXPECT_EQ(Ask(Version(2, 57), Version(2, 57), "", 0, 1, 0).result, 0);
    EXPECT_EQ(Ask(Version(2, 58), Version(2, 57), "", 0, 1, 0).result, 0);
    EXPECT_EQ(Ask(Version(2, 56), Version(2, 57), "n", 0, 1, 0).result, 0);
    EXPECT_EQ(fake::KeysLeft(), 0u);
    // Only the same case asks.
    EXPECT_EQ(Ask(Version(2, 56), Version(2, 57), "", 1, 0, 0).result, 1);
    EXPECT_EQ(Ask(Version(2, 57), Version(2, 57), "y", 1, 0, 0).result, 1);
    // Only the older case asks.
    EXPECT_EQ(Ask(Version(2, 58), Version(2, 57), "y", 0, 0, 1).result, 1);
}

struct OrderCase {
    FirmwareVersion device;
    FirmwareVersion image;
    const char* headlineStart;
};

class VersionOrder : public Confirm, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(VersionOrder, WholeWordDecidesTheCase)
{
    const OrderCase& c = GetParam();
    const Outcome outcome = Ask(c.device, c.image, "", 0, 0, 0);
    EXPECT_EQ(outcome.screen.rfind(c.headlineStart, 0), 0u) << outcome.screen;
}

const char kNewer[] = "\n\nThis update is newer";
const char kOlder[] = "\n\nThis update is OLDER";
const char kSame[] = "\nThe firmware in the";

INSTANTIATE_TEST_SUITE_P(
    Comparisons, VersionOrder,
    ::testing::Values(OrderCase{Version(2, 57), Version(2, 57, 1), kNewer},
                      OrderCase{Version(2, 57), Version(2, 57, 0, 1), kNewer},
                      OrderCase{Version(2, 57, 1), Version(2, 57, 0, 1), kOlder},
                      OrderCase{Version(9, 99), Version(10, 0), kNewer},
                      OrderCase{Version(10, 0), Version(9, 99), kOlder}, OrderCase{0, Version(0, 0, 0, 1), kNewer},
                      OrderCase{0, 0xFFFFFFFFu, kNewer}, OrderCase{0xFFFFFFFFu, Version(255, 255, 255), kOlder},
                      OrderCase{Version(2, 57, 0, 1), Version(2, 57, 0, 1), kSame}));

}  // namespace
