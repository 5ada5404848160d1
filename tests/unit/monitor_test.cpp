// The post-update monitor: message framing, dispatch, DSP progress lines
// and the ready message.
#include "app/monitor.h"
#include "fake.h"
#include "protocol/device_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class Monitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        // A "^" puts the assembler back to an empty message.
        FeedMessageByte('^');
        fake::SetNow(5000);
    }

    void Feed(const std::string& bytes)
    {
        for (unsigned char c : bytes)
            FeedMessageByte(c);
    }
};

struct ScreenCase {
    const char* bytes;
    const char* shown;
    bool progress;    // lastProgressTime set
};

class MonitorScreens : public Monitor, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(MonitorScreens, ShowsWhatTheDeviceReports)
{
    Feed(GetParam().bytes);
    EXPECT_EQ(fake::Output(), GetParam().shown);
    EXPECT_EQ(gUpdateState.lastProgressTime, GetParam().progress ? 5000u : 0u);
    EXPECT_EQ(gUpdateState.deviceReady, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MonitorScreens,
    ::testing::Values(
        ScreenCase{"^!100,2,0$", "\n\rUpdating DSPs: Bank = 2, Complete =  16%", true},
        ScreenCase{"^!100,2,5$", "\rUpdating DSPs: Bank = 2, Complete = 100%", true},
        ScreenCase{"^!100,2,1\r\n$", "\rUpdating DSPs: Bank = 2, Complete =  33%", true},
        ScreenCase{"^!100,1,2$^!100,1,3$^!100,1,4$",
                   "\rUpdating DSPs: Bank = 1, Complete =  50%\rUpdating DSPs: Bank = 1, Complete =  66%"
                   "\rUpdating DSPs: Bank = 1, Complete =  83%",
                   true},
        ScreenCase{"^!100,3,-1$", "\rUpdating DSPs: Bank = 3, Complete =   0%", true},
        ScreenCase{"^!100,3,6$", "\rUpdating DSPs: Bank = 3, Complete = 116%", true},
        ScreenCase{"^!7,Flash erased$", "!7,Flash erased$", false},
        ScreenCase{"!7,no caret$", "!7,no caret$", false},
        ScreenCase{"^!Ok$", "", false},
        ScreenCase{"^=V \"VEL2346\" 2.57,68,10,1F$", "", false},
        ScreenCase{"^\x80\xff!\x01" "100,4,5$", "\rUpdating DSPs: Bank = 4, Complete = 100%", true},
        // Progress that ends early: the missing numbers read as 0.
        ScreenCase{"^!100$", "\n\rUpdating DSPs: Bank = 0, Complete =  16%", true},
        ScreenCase{"^!100,7$", "\n\rUpdating DSPs: Bank = 7, Complete =  16%", true}));

TEST_F(Monitor, ReadyMessageSetsDeviceReady)
{
    for (const char* text : {"^=P$", "^=P1$", "=P$"}) {
        gUpdateState.deviceReady = 0;
        Feed(text);
        EXPECT_EQ(gUpdateState.deviceReady, 1) << text;
    }
    gUpdateState.deviceReady = 0;
    Feed("^=PA$");
    Feed("^=p$");
    EXPECT_EQ(gUpdateState.deviceReady, 0);
    EXPECT_EQ(fake::Output(), "");
}

TEST_F(Monitor, CaretRestartsTheMessage)
{
    Feed("^!10^=P$");
    EXPECT_EQ(gUpdateState.deviceReady, 1);
    EXPECT_EQ(fake::Output(), "");
}

TEST_F(Monitor, MessageAfterDollarNeedsNoCaret)
{
    Feed("^=X$!7,hello$");
    EXPECT_EQ(fake::Output(), "!7,hello$");
}

TEST_F(Monitor, OverlongMessageKeepsFirst254Characters)
{
    const std::string body = "!7," + std::string(297, 'a');
    Feed("^" + body + "$");
    EXPECT_EQ(fake::Output(), body.substr(0, 254) + "$");
    EXPECT_EQ(MessageBuffer[255], '\0');
}

TEST_F(Monitor, ShortProgressAfterLongMessageNeverReadsItsLeftovers)
{
    // A long message leaves digits behind the next message's NUL.
    Feed("^!7," + std::string(200, '9') + "$");
    fake::TakeOutput();
    Feed("^!100$");
    EXPECT_EQ(fake::Output(), "\n\rUpdating DSPs: Bank = 0, Complete =  16%");
}

TEST_F(Monitor, FullBufferProgressStaysInsideIt)
{
    Feed("^!100," + std::string(260, '5') + "$");
    // The bank saturates; the step is missing and reads as 0.
    EXPECT_EQ(fake::Output(), "\n\rUpdating DSPs: Bank = 2147483647, Complete =  16%");
}

TEST(DispatchTable, MatchesPatternNotFollowedByLetter)
{
    fake::Reset();
    std::strcpy(MessageBuffer, "=P$");
    EXPECT_EQ(DispatchMessage(MessageBuffer), 0);
    EXPECT_EQ(gUpdateState.deviceReady, 1);
    std::strcpy(MessageBuffer, "=PA$");
    EXPECT_EQ(DispatchMessage(MessageBuffer), 1);
    std::strcpy(MessageBuffer, "=$");
    EXPECT_EQ(DispatchMessage(MessageBuffer), 1);
    std::strcpy(MessageBuffer, "?$");
    EXPECT_EQ(DispatchMessage(MessageBuffer), 1);
}

}  // namespace
