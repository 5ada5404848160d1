// tlxsim: command-line options of the device simulator.
//
// Written from the wire formats alone; nothing here
// comes from the program's own protocol/, update/, app/, serial/ or
// firmware/ code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tlxsim {

enum class NoiseMode { Garble, Drop };
enum class ReportPackets { Full, Summary };

struct Options {
    // Identity of the device (application and boot loader).
    std::string productName = "VEL2346";
    uint32_t version = 0x02380000;    // 2.56
    uint32_t family = 68;
    uint32_t pcb = 10;
    uint32_t optionWord = 0x1F;
    bool identity = true;             // ",family,pcb,option" part of the reply
    std::string replyText;            // whole version reply text, overrides the above
    std::vector<std::string> preMessages;   // texts sent framed before each version reply
    bool haveNewVersion = false;
    uint32_t newVersion = 0x02390000; // 2.57, used after a complete download without --image

    // Application.
    int appReplyDelayMs = 0;
    int handoverMs = 20;              // "^BOOTL$" -> boot loader listening
    int bootDelayMs = 100;            // reset -> application listening and talking
    bool readyBeforeDownload = false; // "^=P$" after each version reply and at start
    std::vector<std::string> extraMessages;  // sent before the DSP progress
    int dspBanks = 3;
    int dspStepMs = 200;
    int dspStartMs = 200;
    int dspSilentAfterBank = -1;      // -1: off; K: banks 1..K, then silence
    bool dspEndless = false;
    bool noReady = false;
    bool dspAlways = false;           // DSP run after every reset, complete download or not
    bool incompleteStaysInBoot = false;

    // Boot loader.
    bool startInBoot = false;
    bool bootSilent = false;
    int answerInfoFrom = 1;           // the first N-1 information queries get no answer
    bool bootInfoOld = false;
    uint16_t layoutWord = 0x0800;
    bool ackWithZero = false;
    bool badInfoChecksum = false;
    bool resetAck = true;
    int packetTimeoutMs = 500;

    // Faults in the download (record numbers count record packets since start, from 1).
    bool failStart = false;
    bool failStartOnce = false;
    long failRecord = 0;
    unsigned failCode = 0x44;
    long noAckRecord = 0;
    long nakRecord = 0;
    long unplugAfterRecord = 0;
    long silentAfterRecord = 0;
    long badStatusChecksumRecord = 0;
    bool badStartStatusChecksum = false;
    long unplugAfterMs = 0;
    double exitAfterS = 0;

    // Line.
    bool pace = false;
    int latencyMs = 0;
    NoiseMode rxNoise = NoiseMode::Garble;
    NoiseMode txNoise = NoiseMode::Garble;
    bool ignoreBaud = false;
    double flipRate = 0;              // chance per byte, each direction, of one flipped bit
    double dropRate = 0;              // chance per byte, each direction, of losing it
    unsigned seed = 1;

    // Files.
    std::string ptyFile;
    std::string linkPath;
    std::string reportFile;
    ReportPackets reportPackets = ReportPackets::Full;
    std::string logFile;
    std::string imageFile;
    std::string flashOut;
};

// Parses argv (and any --scenario files it names). Returns 0 to run, 1 for
// --help (already printed), 2 for an error (already printed).
int ParseOptions(int argc, char** argv, Options* options);

std::string VersionText(uint32_t version);
bool ParseVersion(const std::string& text, uint32_t* version);

}  // namespace tlxsim
