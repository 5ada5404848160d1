// Application messages: framing, the version reply parser and the version
// query, on the fake port and its virtual clock.
#include "fake.h"
#include "protocol/app_messages.h"
#include "protocol/device_info.h"
#include "protocol_fake_device.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

class AppMessageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        ASSERT_EQ(OpenPort(&gSerialPort, 1, 19200), 1);
    }
};

// --- framing -----------------------------------------------------------------

TEST_F(AppMessageTest, MessageKeepsTextAfterCaretUpToDollar)
{
    fake::Deliver("junk^=V \"A\" 1.2$^next$");
    char text[100];
    ASSERT_EQ(ReadMessage(text, sizeof text), 0);
    EXPECT_STREQ(text, "=V \"A\" 1.2$");
    EXPECT_EQ(fake::PendingCount(), 6u);
}

TEST_F(AppMessageTest, BytesBeforeFirstCaretAreKeptWhenNoCaretComes)
{
    fake::Deliver("ab$");
    char text[100];
    ASSERT_EQ(ReadMessage(text, sizeof text), 0);
    EXPECT_STREQ(text, "ab$");
}

TEST_F(AppMessageTest, EveryCaretRestartsTheMessage)
{
    fake::Deliver("^=V \"A^=V \"B\" 1.0$");
    char text[100];
    ASSERT_EQ(ReadMessage(text, sizeof text), 0);
    EXPECT_STREQ(text, "=V \"B\" 1.0$");
}

TEST_F(AppMessageTest, LongMessageIsCutAtCapacityAndRestStaysWaiting)
{
    fake::Deliver("^" + std::string(120, 'x') + "$");
    char text[100];
    ASSERT_EQ(ReadMessage(text, sizeof text), 0);
    EXPECT_EQ(std::strlen(text), 99u);
    EXPECT_EQ(fake::PendingCount(), 22u);
}

TEST_F(AppMessageTest, ByteLateByMoreThanItsBudgetEndsTheRead)
{
    fake::DeliverAt(0, testdevice::Bytes("^=V"));
    char text[100];
    EXPECT_EQ(ReadMessage(text, sizeof text), 1);
    // The silent read waits its full first-byte time, not just the budget.
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(AppMessageTest, EachByteHasItsOwnBudget)
{
    fake::DeliverAt(1500, testdevice::Bytes("^AB$"), 1500);
    char text[100];
    ASSERT_EQ(ReadMessage(text, sizeof text), 0);
    EXPECT_STREQ(text, "AB$");
    EXPECT_EQ(fake::Now(), 6000u);
}

TEST_F(AppMessageTest, TinyBufferIsRefusedWithoutReading)
{
    fake::Deliver("^$");
    char text[1] = {'x'};
    EXPECT_EQ(ReadMessage(text, 1), 1);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(fake::PendingCount(), 2u);
}

// --- version reply parser ------------------------------------------------------

struct ParseCase {
    const char* text;
    int result;
    const char* productName;
    FirmwareVersion version;
    uint16_t familyCode;
    uint16_t pcbRevision;
    uint32_t optionWord;
};

void PrintTo(const ParseCase& c, std::ostream* out)
{
    *out << '"' << c.text << '"';
}

const DeviceInfo kMarker = {0xBEEF, 0xBEEF, 0xBEEFBEEF, 0xBEEFBEEF, nullptr, "marker"};

class VersionReplyParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(VersionReplyParse, FillsTheRecordAsFarAsItParses)
{
    const ParseCase& c = GetParam();
    DeviceInfo info = kMarker;
    const char* const keep = "earlier";
    info.modelName = keep;
    ASSERT_EQ(ParseVersionReply(&info, c.text), c.result) << c.text;
    EXPECT_STREQ(info.productName, c.productName) << c.text;
    EXPECT_EQ(info.version, c.version) << c.text;
    EXPECT_EQ(info.familyCode, c.familyCode) << c.text;
    EXPECT_EQ(info.pcbRevision, c.pcbRevision) << c.text;
    EXPECT_EQ(info.optionWord, c.optionWord) << c.text;
    if (c.result != 0) {
        EXPECT_EQ(info.modelName, keep) << c.text;
    }
}

const std::string kName31(31, 'N');
const std::string kReply31 = "=V \"" + kName31 + "\" 1.0$";
const std::string kReply32 = "=V \"" + kName31 + "N\" 1.0$";

INSTANTIATE_TEST_SUITE_P(
    Replies, VersionReplyParse,
    ::testing::Values(
        ParseCase{"=V \"VEL2346\" 2.57.03b(Beta),68,10,1F$", 0, "VEL2346", 0x02390302, 68, 10, 0x1F},
        ParseCase{"=V \"\" 2.57$", 0, "", 0x02390000, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"X\"2.57$", 0, "X", 0x00390000, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"A\" 1.2z$", 0, "A", 0x0102001A, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"A\" 1.256$", 0, "A", 0x02000000, 56, 1, 0xFFFFFFFF},            // minor carries
        ParseCase{"=V \"A\" 1.2,70000,3,0x1FFFFFFFF$", 0, "A", 0x01020000, 4464, 3, 0xFFFFFFFF},
        ParseCase{"=V \"A\" 1.2,68,10$", 3, "A", 0x01020000, 68, 10, 0},               // no option word
        ParseCase{"=V \"A\" 1.2 $", 3, "A", 0x01020000, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"A\" 1.2B$", 3, "A", 0x01020000, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"A\" 1.2,68,10,1F $", 3, "A", 0x01020000, 68, 10, 0x1F},
        ParseCase{"=V \"A\" 1.2(open,68,10,1F$", 3, "A", 0x01020000, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"A\" 1.2(", 3, "A", 0x01020000, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V \"A", 2, "A", 0xBEEFBEEF, 0xBEEF, 0xBEEF, 0xBEEFBEEF},
        ParseCase{"=V \"A\"", 3, "A", 0, 56, 1, 0xFFFFFFFF},
        ParseCase{"=V 'A' 1.2$", 1, "marker", 0xBEEFBEEF, 0xBEEF, 0xBEEF, 0xBEEFBEEF},
        ParseCase{"=P \"A\" 1.2$", 1, "marker", 0xBEEFBEEF, 0xBEEF, 0xBEEF, 0xBEEFBEEF},
        ParseCase{"", 1, "marker", 0xBEEFBEEF, 0xBEEF, 0xBEEF, 0xBEEFBEEF},
        ParseCase{kReply31.c_str(), 0, kName31.c_str(), 0x01000000, 56, 1, 0xFFFFFFFF},
        ParseCase{kReply32.c_str(), 2, kName31.c_str(), 0xBEEFBEEF, 0xBEEF, 0xBEEF, 0xBEEFBEEF}));

TEST(VersionReplyModelName, RefersToTheRecordsOwnProductName)
{
    DeviceInfo info = {};
    ASSERT_EQ(ParseVersionReply(&info, "=V \"VEL2346\" 2.57.03b(Beta),68,10,1F$"), 0);
    EXPECT_EQ(info.modelName, info.productName);
}

TEST(VersionReplyModelName, EmptyProductNameTakesTheModelTableName)
{
    DeviceInfo info = {};
    ASSERT_EQ(ParseVersionReply(&info, "=V \"\" 2.57$"), 0);
    ASSERT_NE(info.modelName, nullptr);
    EXPECT_STREQ(info.modelName, "RK510");
}

TEST(VersionReplyModelName, UnlistedDeviceHasNone)
{
    DeviceInfo info = {};
    info.modelName = "earlier";
    ASSERT_EQ(ParseVersionReply(&info, "=V \"\" 2.57,99,1,0$"), 0);
    EXPECT_EQ(info.modelName, nullptr);
}

TEST(VersionReplyRemark, UnclosedRemarkStopsAtTheTextsEnd)
{
    // The text ends at the "(" right before a region the parser must not
    // reach: a ")" and "$" beyond the terminating NUL.
    char buffer[] = "=V \"A\" 1.2(\0),1,2,3$";
    DeviceInfo info = {};
    EXPECT_EQ(ParseVersionReply(&info, buffer), 3);
    EXPECT_EQ(info.familyCode, 56);
}

// --- version query ----------------------------------------------------------------

class VersionQueryTest : public AppMessageTest {
protected:
    testdevice::Device device;

    void SetUp() override
    {
        AppMessageTest::SetUp();
        device.Install();
        gDeviceInfo.modelName = "earlier";
    }
};

TEST_F(VersionQueryTest, SendsTheCommandInOneWriteAndParsesTheReply)
{
    device.versionAnswer = "^=V \"VEL2346\" 2.57.03b(Beta),68,10,1F$";
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 0), 0);
    EXPECT_EQ(fake::SentBytes(), testdevice::Bytes("^V$"));
    EXPECT_EQ(fake::WriteSizes(), std::vector<int>{3});
    EXPECT_EQ(gDeviceInfo.version, 0x02390302u);
    EXPECT_EQ(gDeviceInfo.familyCode, 68);
    EXPECT_EQ(gDeviceInfo.modelName, gDeviceInfo.productName);
}

TEST_F(VersionQueryTest, EmptyAndPlusMessagesArePassedOver)
{
    device.versionAnswer = "^$^+$^$^=V \"\" 2.57$";
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 0), 0);
    EXPECT_STREQ(gDeviceInfo.modelName, "RK510");
}

TEST_F(VersionQueryTest, OtherMessageFirstEndsTheQueryWithItsParseResult)
{
    device.versionAnswer = "^!100,1,2$^=V \"A\" 1.0$";
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 0), 1);
    EXPECT_EQ(fake::PendingCount(), testdevice::Bytes("^=V \"A\" 1.0$").size());
    EXPECT_STREQ(gDeviceInfo.modelName, "earlier");
}

TEST_F(VersionQueryTest, FailedQueryLeavesTheResetValues)
{
    gDeviceInfo.familyCode = 68;
    gDeviceInfo.pcbRevision = 10;
    gDeviceInfo.version = 0x02390302;
    gDeviceInfo.optionWord = 0x1F;
    std::memset(gDeviceInfo.productName, 'Z', sizeof gDeviceInfo.productName);
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 0), 1);
    EXPECT_EQ(gDeviceInfo.familyCode, 0);
    EXPECT_EQ(gDeviceInfo.pcbRevision, 0);
    EXPECT_EQ(gDeviceInfo.version, 0u);
    EXPECT_EQ(gDeviceInfo.optionWord, 0xFFFFFFFFu);
    EXPECT_STREQ(gDeviceInfo.productName, "");
    EXPECT_STREQ(gDeviceInfo.modelName, "earlier");
}

TEST_F(VersionQueryTest, SilentDeviceEndsAfterOneReadWait)
{
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 0), 1);
    EXPECT_EQ(fake::Now(), 4000u);
}

TEST_F(VersionQueryTest, UnparsableReplyGivesTheParserResult)
{
    device.versionAnswer = "^=V \"A\" 1.2,68,10$";
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 0), 3);
    EXPECT_EQ(gDeviceInfo.familyCode, 68);
}

TEST_F(VersionQueryTest, ListenOnlySendsNothingAndTakesTheUnaskedMessage)
{
    fake::DeliverAt(700, testdevice::Bytes("^=V \"\" 3.01,56,2,0$"), 1);
    EXPECT_EQ(QueryVersion(&gDeviceInfo, 1), 0);
    EXPECT_TRUE(fake::SentBytes().empty());
    EXPECT_EQ(gDeviceInfo.version, 0x03010000u);
    EXPECT_STREQ(gDeviceInfo.modelName, "RK510");
}

}  // namespace
