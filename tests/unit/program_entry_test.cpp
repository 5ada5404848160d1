// Program start-up: banner, command line, usage and invalid-port screens,
// and the exit path.
#include "app/console.h"
#include "app/program.h"
#include "fake.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kBanner[] =
    "\nTolvex firmware update utility. Version 2.09"
    "\nCopyright (C) Tolvex Audio Systems. All rights reserved.\n";

struct ProgramRun {
    std::string output;
    int status;
};

ProgramRun RunProgram(const std::vector<const char*>& arguments)
{
    std::vector<const char*> argv = {"tlxup"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    try {
        ProgramMain(static_cast<int>(argv.size()), argv.data());
    } catch (const fake::ProcessEnded& ended) {
        return ProgramRun{fake::TakeOutput(), ended.status};
    }
    return ProgramRun{"(ProgramMain returned)", -1};
}

class ProgramEntry : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(ProgramEntry, TwoArgumentsShowUsageEvenWhenBothAreValidPorts)
{
    fake::QueueKeys("x");
    const ProgramRun run = RunProgram({"3", "4"});
    EXPECT_EQ(run.output, std::string(kBanner) +
                              "\nUse: TLXUP [x]\n"
                              "\nWhere:"
                              "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
                              "\n          otherwise searches COM1 - COM16."
                              "\nPress any key to exit...\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(fake::KeysLeft(), 0u);
    EXPECT_EQ(fake::OpenedPortNumber(), 0) << "no port is opened";
}

struct InvalidPortCase {
    const char* argument;
    const char* shown;
};

class InvalidPort : public ProgramEntry, public ::testing::WithParamInterface<InvalidPortCase> {};

TEST_P(InvalidPort, ShowsTheValueAsUnsignedAndExits)
{
    const ProgramRun run = RunProgram({GetParam().argument});
    EXPECT_EQ(run.output, std::string(kBanner) + "\nCOM" + GetParam().shown +
                              " is an invalid COM port number.\nChoose a COM port number between 1 and 99\n"
                              "\nPress any key to exit...\n");
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Arguments, InvalidPort,
                         ::testing::Values(InvalidPortCase{"120", "120"}, InvalidPortCase{"100", "100"},
                                           InvalidPortCase{"-5", "4294967291"},
                                           InvalidPortCase{"4294967296", "4294967295"},
                                           InvalidPortCase{"99999999999999999999", "4294967295"},
                                           InvalidPortCase{"-2147483648", "2147483648"}));

struct RangeCase {
    int argc;
    const char* argument;
    int result;
    int32_t first;
    int32_t last;
    uint32_t value;
};

class CommandLine : public ::testing::TestWithParam<RangeCase> {};

TEST_P(CommandLine, ReadsThePortRange)
{
    const RangeCase& c = GetParam();
    const char* argv[] = {"tlxup", c.argument, "extra"};
    int32_t first = -1;
    int32_t last = -1;
    uint32_t value = 7;
    EXPECT_EQ(ReadCommandLine(c.argc, argv, &first, &last, &value), c.result);
    EXPECT_EQ(value, c.value);
    if (c.result == kCommandLineScan) {
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(last, c.last);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(RangeCase{1, nullptr, kCommandLineScan, 1, 16, 0},
                      RangeCase{0, nullptr, kCommandLineScan, 1, 16, 0},
                      RangeCase{2, "0", kCommandLineScan, 1, 16, 0},
                      RangeCase{2, "", kCommandLineScan, 1, 16, 0},
                      RangeCase{2, "abc", kCommandLineScan, 1, 16, 0},
                      RangeCase{2, "007", kCommandLineScan, 7, 7, 7},
                      RangeCase{2, "12abc", kCommandLineScan, 12, 12, 12},
                      RangeCase{2, "+5", kCommandLineScan, 5, 5, 5},
                      RangeCase{2, "  42", kCommandLineScan, 42, 42, 42},
                      RangeCase{2, "1", kCommandLineScan, 1, 1, 1},
                      RangeCase{2, "99", kCommandLineScan, 99, 99, 99},
                      RangeCase{2, "100", kCommandLineInvalidPort, 0, 0, 100},
                      RangeCase{2, "-5", kCommandLineInvalidPort, 0, 0, 4294967291u},
                      RangeCase{2, "-0", kCommandLineScan, 1, 16, 0},
                      RangeCase{2, "4294967296", kCommandLineInvalidPort, 0, 0, 4294967295u},
                      RangeCase{2, "4294967295", kCommandLineInvalidPort, 0, 0, 4294967295u},
                      RangeCase{3, "3", kCommandLineUsage, 0, 0, 0}));

TEST_F(ProgramEntry, ExitClosesThePortWaitsForOneKeyAndEndsWithStatusOne)
{
    ASSERT_EQ(OpenPort(&gSerialPort, 3, 19200), 1);
    fake::QueueKey(kFunctionKey + 0x3B);
    fake::QueueKeys("z");
    try {
        ExitProgram(1);
        FAIL() << "ExitProgram returned";
    } catch (const fake::ProcessEnded& ended) {
        EXPECT_EQ(ended.status, 1);
    }
    EXPECT_FALSE(fake::IsOpen());
    EXPECT_EQ(fake::Output(), "\nPress any key to exit...\n");
    EXPECT_EQ(fake::KeysLeft(), 1u) << "a function key is one press";
}

TEST_F(ProgramEntry, ExitWithNoKeyToComeEndsAtOnce)
{
    try {
        ExitProgram(1);
        FAIL() << "ExitProgram returned";
    } catch (const fake::ProcessEnded& ended) {
        EXPECT_EQ(ended.status, 1);
    }
    EXPECT_EQ(fake::Output(), "\nPress any key to exit...\n");
}

}  // namespace
