// Device detection and the return to the application over the real POSIX
// serial backend, against the device simulator on its pseudo-terminal.
// Real time throughout.
#include "protocol/boot_packets.h"
#include "protocol/detect.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One simulator process; its first output line is the port's path.
class Simulator {
public:
    ~Simulator() { Stop(); }

    bool Start(std::vector<std::string> options)
    {
        options.insert(options.begin(), TLXSIM_PATH);
        options.push_back("--exit-after");
        options.push_back("120");
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (std::string& option : options)
                argv.push_back(&option[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        output_ = out[0];
        return ReadFirstLine(5000);
    }

    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (output_ >= 0) {
            close(output_);
            output_ = -1;
        }
    }

    const std::string& path() const { return path_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string path_;

    bool ReadFirstLine(int timeoutMs)
    {
        const Clock::time_point start = Clock::now();
        char c = 0;
        while (MsSince(start) < timeoutMs) {
            pollfd p{output_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            if (read(output_, &c, 1) != 1)
                return false;
            if (c == '\n')
                return !path_.empty();
            path_.push_back(c);
        }
        return false;
    }
};

class DetectOverSimulator : public ::testing::Test {
protected:
    Simulator sim;

    // Starts the simulator and opens its port as COM1 at 19200 baud.
    bool StartDevice(const std::vector<std::string>& options)
    {
        if (!sim.Start(options)) {
            ADD_FAILURE() << "tlxsim did not start: " << TLXSIM_PATH;
            return false;
        }
        setenv("TLXUP_PORTS", sim.path().c_str(), 1);
        if (OpenPort(&gSerialPort, 1, kApplicationBaud) != 1) {
            ADD_FAILURE() << "could not open " << sim.path();
            return false;
        }
        gUpdateState.currentBaud = kApplicationBaud;
        return true;
    }

    void TearDown() override
    {
        ClosePort(&gSerialPort);
        unsetenv("TLXUP_PORTS");
        sim.Stop();
    }
};

TEST_F(DetectOverSimulator, ApplicationAnswersTheVersionQuery)
{
    ASSERT_TRUE(StartDevice({"--version", "2.57.03b", "--family", "68", "--pcb", "10", "--option-word", "1F"}));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectApplication);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(gDeviceInfo.version, 0x02390302u);
    EXPECT_EQ(gDeviceInfo.familyCode, 68);
    EXPECT_EQ(gDeviceInfo.pcbRevision, 10);
    EXPECT_EQ(gDeviceInfo.optionWord, 0x1Fu);
    EXPECT_STREQ(gDeviceInfo.productName, "VEL2346");
    EXPECT_EQ(gDeviceInfo.modelName, gDeviceInfo.productName);
}

TEST_F(DetectOverSimulator, BootLoaderAnswersAndThePortStaysAtItsRate)
{
    ASSERT_TRUE(StartDevice({"--start-in-bootloader", "--version", "2.56", "--family", "56", "--pcb", "3", "--no-name"}));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    EXPECT_EQ(gUpdateState.currentBaud, 115200u);
    EXPECT_EQ(gDeviceInfo.version, 0x02380000u);
    EXPECT_EQ(gDeviceInfo.familyCode, 56);
    EXPECT_EQ(gDeviceInfo.pcbRevision, 3);
    EXPECT_STREQ(gDeviceInfo.productName, "");
    ASSERT_NE(gDeviceInfo.modelName, nullptr);
    EXPECT_STREQ(gDeviceInfo.modelName, "RKM510");

    // Still at 115200: the boot loader answers a second query on the same port.
    FlushWithZeros();
    EXPECT_EQ(QueryBootInfo(&gBootInfo), 0);
    EXPECT_EQ(BootInfoFamilyCode(gBootInfo), 56);
}

TEST_F(DetectOverSimulator, OlderBootLoaderLayoutIsConverted)
{
    ASSERT_TRUE(StartDevice({"--start-in-bootloader", "--bootinfo-old", "--version", "2.56"}));
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    EXPECT_EQ(BootInfoLayoutWord(gBootInfo), 0x0800);
    EXPECT_EQ(gDeviceInfo.familyCode, 56);
    EXPECT_EQ(gDeviceInfo.pcbRevision, 1);
    EXPECT_EQ(gDeviceInfo.version, 0x02380000u);
}

TEST_F(DetectOverSimulator, CorruptedInformationReplyIsNoAnswer)
{
    ASSERT_TRUE(StartDevice({"--start-in-bootloader", "--bad-info-checksum"}));
    EXPECT_EQ(DetectDevice(), 6);
    EXPECT_EQ(gUpdateState.detectMode, kDetectNone);
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
}

TEST_F(DetectOverSimulator, ReturnToApplicationRefreshesTheDeviceRecord)
{
    ASSERT_TRUE(StartDevice({"--start-in-bootloader", "--version", "2.56", "--option-word", "2A"}));
    ASSERT_EQ(DetectDevice(), 0);
    ASSERT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    // Boot loader detection does not set the option word; the reset value
    // of the unanswered version query is still there.
    EXPECT_EQ(gDeviceInfo.optionWord, 0xFFFFFFFFu);

    ReturnToApplication();
    EXPECT_EQ(gUpdateState.currentBaud, 19200u);
    EXPECT_EQ(gUpdateState.detectMode, kDetectBootLoader);
    EXPECT_EQ(gDeviceInfo.optionWord, 0x2Au);
    EXPECT_EQ(gDeviceInfo.version, 0x02380000u);
    EXPECT_STREQ(gDeviceInfo.productName, "VEL2346");

    // The application now runs: the next detection finds it at once.
    EXPECT_EQ(DetectDevice(), 0);
    EXPECT_EQ(gUpdateState.detectMode, kDetectApplication);
}

}  // namespace
