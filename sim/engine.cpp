// tlxsim: the device on the master side of a pseudo-terminal pair.
//
// One thread, one poll loop. Every byte from the updater is read as soon as
// it arrives, together with the line rate the updater has set on the pair,
// and goes to the side of the device that is running: the application
// (messages at 19200 baud) or the boot loader (packets at 115200 baud).
// Bytes at the wrong rate are line noise. What the device sends waits in a
// timed queue; each byte is judged against the updater's rate when it goes.
#include "image.h"
#include "json.h"
#include "options.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace tlxsim {
namespace {

constexpr int kAppBaud = 19200;
constexpr int kBootBaud = 115200;
constexpr uint8_t kAck = 0xCC;
constexpr uint8_t kNak = 0x33;
constexpr char kBootCommand[] = "^BOOTL$";
constexpr size_t kBootCommandLength = sizeof kBootCommand - 1;

// What a UART at `receiverBaud` makes of a byte sent at `senderBaud`: a
// faster receiver sees the start bit stretched over the whole frame, 0x00;
// a slower one sees mostly idle line, 0xFF.
uint8_t WrongRateByte(int senderBaud, int receiverBaud)
{
    return receiverBaud > senderBaud ? 0x00 : 0xFF;
}

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gUnplugNow = 0;
volatile sig_atomic_t gReportNow = 0;

using Clock = std::chrono::steady_clock;
const Clock::time_point kStart = Clock::now();

double NowMs()
{
    return std::chrono::duration<double, std::milli>(Clock::now() - kStart).count();
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

int BaudOf(speed_t code)
{
    switch (code) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

struct Outgoing {
    double dueMs;
    uint8_t byte;
    bool endsBurst;    // last byte of a reply: the next reply pays the latency again
};

struct Packet {
    double atMs;
    int baud;
    uint8_t sizeByte;
    uint8_t checksum;
    bool checksumOk;
    std::vector<uint8_t> data;
};

struct Device {
    Options o;
    ImageFile image;
    bool haveImage = false;

    int master = -1;
    int slaveKeep = -1;
    std::string slavePath;
    bool unplugged = false;
    FILE* log = nullptr;

    // Which side runs, and when it changes.
    bool inBoot = false;
    double bootAtMs = -1;     // boot loader starts listening
    double appAtMs = -1;      // application restarts
    bool silent = false;      // stopped answering

    // Application message assembly.
    std::string message;
    bool inMessage = false;

    // Boot loader packet assembly.
    std::vector<uint8_t> rx;
    double lastRxMs = 0;
    bool ackDue = false;      // the updater owes an ACK for our last packet

    // The download.
    std::vector<Packet> packets;
    std::vector<std::vector<uint8_t>> records;    // record packets of the current download
    std::vector<uint8_t> startPacket;
    int starts = 0;
    int recordPacket = 0;     // record packets since the program started
    int pendingStatus = -1;   // status owed to the next get status
    int pendingRecord = 0;    // record whose status is owed (0: start)
    bool downloadComplete = false;
    bool recordFailed = false;  // a record of the current download was refused or lost
    int infoQueries = 0;
    int versionQueries = 0;
    int bootCommands19200 = 0;
    int bootCommandsOther = 0;
    int resets = 0;
    int noiseIn = 0;
    int noiseOut = 0;
    int naks = 0;
    uint32_t version = 0;

    // DSP progress after a restart.
    double dspNextMs = -1;
    int dspBank = 1;
    int dspStep = 0;
    bool dspRunning = false;

    std::deque<Outgoing> out;
    double lastOutMs = 0;

    // Random line noise, both directions.
    std::mt19937 noise;
    long flipped = 0;
    long dropped = 0;
    // Returns false when the byte is lost; may flip one of its bits.
    bool Disturb(uint8_t* byte)
    {
        if (o.flipRate <= 0 && o.dropRate <= 0)
            return true;
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (chance(noise) < o.dropRate) {
            ++dropped;
            return false;
        }
        if (chance(noise) < o.flipRate) {
            ++flipped;
            *byte = static_cast<uint8_t>(*byte ^ (1u << (noise() % 8)));
        }
        return true;
    }

    // The download phase on the wire: from the first byte of the first
    // "^BOOTL$" (or the download start, when there was none) to the reset.
    double phaseStartMs = -1;
    double phaseEndMs = -1;
    long phaseBytesIn19200 = 0;
    long phaseBytesIn115200 = 0;
    long phaseBytesOut19200 = 0;
    long phaseBytesOut115200 = 0;
    long phaseTurnarounds = 0;
    bool InPhase() const { return phaseStartMs >= 0 && phaseEndMs < 0; }

    void Log(const char* direction, const uint8_t* bytes, size_t count, int baud, const char* note = "")
    {
        if (!log)
            return;
        std::fprintf(log, "%10.3f %s %6d", NowMs(), direction, baud);
        for (size_t i = 0; i < count; ++i)
            std::fprintf(log, " %02x", bytes[i]);
        std::fprintf(log, "%s%s\n", *note ? "  " : "", note);
        std::fflush(log);
    }

    int LineBaud()
    {
        if (o.ignoreBaud)
            return inBoot ? kBootBaud : kAppBaud;
        struct termios t;
        if (master < 0 || tcgetattr(master, &t) != 0)
            return 0;
        return BaudOf(cfgetospeed(&t));
    }

    int ListeningBaud() const { return inBoot ? kBootBaud : kAppBaud; }

    // --- sending ----------------------------------------------------------

    void Send(const std::vector<uint8_t>& bytes, double delayMs = 0)
    {
        if (silent || unplugged || bytes.empty())
            return;
        if (InPhase() && out.empty())
            ++phaseTurnarounds;
        double due = NowMs() + delayMs + o.latencyMs;
        if (!out.empty() && out.back().dueMs > due)
            due = out.back().dueMs;
        for (size_t i = 0; i < bytes.size(); ++i)
            out.push_back(Outgoing{due, bytes[i], i + 1 == bytes.size()});
    }

    void SendText(const std::string& text, double delayMs = 0)
    {
        Send(std::vector<uint8_t>(text.begin(), text.end()), delayMs);
    }

    void SendAck()
    {
        if (o.ackWithZero)
            Send({0x00, kAck});
        else
            Send({kAck});
    }

    void SendPacket(const std::vector<uint8_t>& data, bool badChecksum = false)
    {
        uint8_t sum = 0;
        for (uint8_t b : data)
            sum = static_cast<uint8_t>(sum + b);
        if (badChecksum)
            sum = static_cast<uint8_t>(sum ^ 0x5A);
        std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size() + 2), sum};
        bytes.insert(bytes.end(), data.begin(), data.end());
        Send(bytes);
        ackDue = true;
    }

    void FlushOut()
    {
        while (!out.empty() && !unplugged) {
            const double now = NowMs();
            if (out.front().dueMs > now)
                return;
            if (o.pace) {
                const double byteMs = 10000.0 / ListeningBaud();
                if (now < lastOutMs + byteMs)
                    return;
            }
            Outgoing next = out.front();
            out.pop_front();
            lastOutMs = NowMs();
            const int baud = LineBaud();
            uint8_t byte = next.byte;
            const char* note = "";
            if (baud != ListeningBaud()) {
                ++noiseOut;
                if (o.txNoise == NoiseMode::Drop) {
                    Log("drop>", &byte, 1, baud, "sent at the wrong rate: dropped");
                    continue;
                }
                byte = WrongRateByte(ListeningBaud(), baud);
                note = "sent at the wrong rate: garbled";
            }
            if (!Disturb(&byte)) {
                Log("lost>", &byte, 1, baud, "line noise: lost");
                continue;
            }
            if (write(master, &byte, 1) != 1) {
                Log("fail>", &byte, 1, baud, "write failed");
                continue;
            }
            Log("dev> ", &byte, 1, baud, note);
            if (InPhase())
                (ListeningBaud() == kAppBaud ? phaseBytesOut19200 : phaseBytesOut115200)++;
        }
    }

    double NextOutMs() const
    {
        if (out.empty())
            return -1;
        double due = out.front().dueMs;
        if (o.pace && due < lastOutMs + 10000.0 / ListeningBaud())
            due = lastOutMs + 10000.0 / ListeningBaud();
        return due;
    }

    // --- application ----------------------------------------------------------

    std::string VersionReply() const
    {
        if (!o.replyText.empty())
            return "^" + o.replyText + "$";
        std::string text = "^=V \"" + o.productName + "\" " + VersionText(version);
        if (o.identity) {
            char identity[64];
            std::snprintf(identity, sizeof identity, ",%u,%u,%X", o.family, o.pcb, o.optionWord);
            text += identity;
        }
        return text + "$";
    }

    void SendVersionReply(double delayMs)
    {
        std::string all;
        for (const std::string& pre : o.preMessages)
            all += "^" + pre + "$";
        all += VersionReply();
        if (o.readyBeforeDownload)
            all += "^=P$";
        SendText(all, delayMs);
    }

    void OnAppMessage(const std::string& text)
    {
        if (text == "V") {
            ++versionQueries;
            SendVersionReply(o.appReplyDelayMs);
        } else if (text == "BOOTL") {
            if (bootAtMs < 0 && !inBoot)
                bootAtMs = NowMs() + o.handoverMs;
        }
    }

    void OnAppByte(uint8_t b)
    {
        if (b == '^') {
            message.clear();
            inMessage = true;
        } else if (b == '$') {
            if (inMessage)
                OnAppMessage(message);
            inMessage = false;
            message.clear();
        } else if (inMessage && message.size() < 300) {
            message.push_back(static_cast<char>(b));
        }
    }

    // --- boot loader ------------------------------------------------------------

    std::vector<uint8_t> BootInfoData() const
    {
        std::vector<uint8_t> info;
        auto put16 = [&info](uint16_t v) {
            info.push_back(static_cast<uint8_t>(v));
            info.push_back(static_cast<uint8_t>(v >> 8));
        };
        auto put32 = [&info](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                info.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        // The new layout keeps a NUL in its 33 name bytes; the older one can
        // fill all 33 with characters.
        const size_t nameMax = o.bootInfoOld ? 33 : 32;
        std::vector<uint8_t> name(33, 0);
        std::memcpy(name.data(), o.productName.data(), o.productName.size() < nameMax ? o.productName.size() : nameMax);
        if (o.bootInfoOld) {
            put16(0);
            put16(0);
            put16(0);
            put16(0);
            put32(version);
            info.insert(info.end(), name.begin(), name.end());    // 12 .. 44: 45 bytes
            return info;
        }
        put16(o.layoutWord);
        put16(static_cast<uint16_t>(o.family));
        put16(0);
        put16(static_cast<uint16_t>(o.pcb));
        info.insert(info.end(), 20, 0);
        put32(version);
        info.insert(info.end(), name.begin(), name.end());    // 32 .. 64: 65 bytes
        return info;
    }

    void Unplug(const char* why)
    {
        if (unplugged)
            return;
        Log("-----", nullptr, 0, 0, why);
        out.clear();
        close(master);
        master = -1;
        if (slaveKeep >= 0)
            close(slaveKeep);
        slaveKeep = -1;
        unplugged = true;
        WriteReport();
    }

    void AfterStatus(int record)
    {
        if (record == 0)
            return;
        if (o.unplugAfterRecord == record) {
            unplugRequested = true;    // once the status is out; nothing more is taken
            silent = true;
        }
        if (o.silentAfterRecord == record)
            silent = true;
    }
    bool unplugRequested = false;
    double unplugAtMs = -1;

    void OnPacket(const Packet& p)
    {
        packets.push_back(p);
        if (!p.checksumOk) {
            ++naks;
            Send({kNak});
            return;
        }
        const uint8_t command = p.data.empty() ? 0 : p.data[0];
        switch (command) {
        case 0x26:
            ++infoQueries;
            if (o.bootSilent || infoQueries < o.answerInfoFrom)
                return;
            SendAck();
            SendPacket(BootInfoData(), o.badInfoChecksum);
            return;
        case 0x21:
            if (phaseStartMs < 0)
                phaseStartMs = p.atMs;
            ++starts;
            startPacket = p.data;
            records.clear();
            downloadComplete = false;
            recordFailed = false;
            if (o.bootSilent)
                return;
            SendAck();
            pendingRecord = 0;
            pendingStatus = (o.failStart || (o.failStartOnce && starts == 1)) ? static_cast<int>(o.failCode) : 0x40;
            return;
        case 0x24: {
            ++recordPacket;
            if (o.bootSilent || o.noAckRecord == recordPacket) {
                downloadComplete = false;    // a lost record ends this download unfinished
                recordFailed = true;
                return;
            }
            if (o.nakRecord == recordPacket) {
                downloadComplete = false;
                recordFailed = true;
                Send({kNak});
                return;
            }
            SendAck();
            pendingRecord = recordPacket;
            const bool fails = o.failRecord == recordPacket;
            pendingStatus = fails ? static_cast<int>(o.failCode) : 0x40;
            if (fails) {
                downloadComplete = false;
                recordFailed = true;
            } else
                records.push_back(p.data);
            if (!fails && !recordFailed && haveImage && records.size() == image.records.size())
                downloadComplete = true;
            if (!fails && !recordFailed && !haveImage && records.size() >= 1)
                downloadComplete = true;
            return;
        }
        case 0x23: {
            if (o.bootSilent)
                return;
            SendAck();
            const uint8_t status = static_cast<uint8_t>(pendingStatus < 0 ? 0x40 : pendingStatus);
            const bool bad = (pendingRecord == 0 && o.badStartStatusChecksum) ||
                             (pendingRecord != 0 && o.badStatusChecksumRecord == pendingRecord);
            SendPacket({status}, bad);
            AfterStatus(pendingRecord);
            pendingStatus = -1;
            return;
        }
        case 0x25:
            if (InPhase())
                phaseEndMs = p.atMs;
            ++resets;
            if (o.resetAck)
                SendAck();
            appAtMs = NowMs() + o.bootDelayMs;
            return;
        default:
            if (!o.bootSilent)
                SendAck();
            return;
        }
    }

    void OnBootByte(uint8_t b, int baud)
    {
        const double now = NowMs();
        if (!rx.empty() && now - lastRxMs > o.packetTimeoutMs) {
            Log("-----", rx.data(), rx.size(), baud, "partial packet dropped after a pause");
            rx.clear();
        }
        lastRxMs = now;
        if (rx.empty()) {
            if (b == 0x00)
                return;    // filler
            if (ackDue && b == kAck) {
                ackDue = false;
                return;    // the updater's answer to our packet
            }
            if (ackDue && b == kNak) {
                ackDue = false;
                return;
            }
        }
        rx.push_back(b);
        // The hand-over command, which the updater repeats at 115200 when a
        // query goes unanswered, is taken for what it is and dropped whole.
        // Read as a packet it would announce 94 bytes and swallow the filler
        // after it, and its NAK would reach the updater after its next query
        // on a pseudo-terminal, which has no wire time for the filler to
        // cover.
        if (rx.size() == kBootCommandLength && std::memcmp(rx.data(), kBootCommand, kBootCommandLength) == 0) {
            Log("-----", rx.data(), rx.size(), baud, "boot loader command ignored");
            rx.clear();
            return;
        }
        if (rx.size() < 2)
            return;
        const size_t dataLength = static_cast<uint8_t>(rx[0] - 2);
        if (rx.size() < dataLength + 2)
            return;
        Packet p;
        p.atMs = now;
        p.baud = baud;
        p.sizeByte = rx[0];
        p.checksum = rx[1];
        p.data.assign(rx.begin() + 2, rx.end());
        uint8_t sum = 0;
        for (uint8_t d : p.data)
            sum = static_cast<uint8_t>(sum + d);
        p.checksumOk = sum == p.checksum;
        rx.clear();
        ackDue = false;
        OnPacket(p);
    }

    // --- time ---------------------------------------------------------------------

    void StartApplication()
    {
        inBoot = false;
        appAtMs = -1;
        rx.clear();
        message.clear();
        inMessage = false;
        if (downloadComplete || o.dspAlways) {
            if (o.haveNewVersion)
                version = o.newVersion;
            else if (haveImage)
                version = image.version;
            else
                version = o.newVersion;
        }
        const bool runDsp = downloadComplete || o.dspAlways;
        if (!downloadComplete && o.incompleteStaysInBoot) {
            inBoot = true;
            return;
        }
        SendVersionReply(0);
        for (const std::string& m : o.extraMessages)
            SendText("^" + m + "$");
        WriteReport();
        if (runDsp) {
            dspRunning = true;
            dspBank = 1;
            dspStep = 0;
            dspNextMs = NowMs() + o.dspStartMs;
        }
    }

    void RunDsp()
    {
        if (!dspRunning || NowMs() < dspNextMs)
            return;
        if (dspBank > o.dspBanks) {
            if (o.dspEndless) {
                dspBank = 1;
            } else {
                dspRunning = false;
                if (!o.noReady)
                    SendText("^=P$");
                return;
            }
        }
        if (o.dspSilentAfterBank >= 0 && dspBank > o.dspSilentAfterBank) {
            dspRunning = false;
            return;
        }
        char text[64];
        std::snprintf(text, sizeof text, "^!100,%d,%d$", dspBank, dspStep);
        SendText(text);
        if (++dspStep > 5) {
            dspStep = 0;
            ++dspBank;
        }
        dspNextMs = NowMs() + o.dspStepMs;
    }

    void Timers()
    {
        const double now = NowMs();
        if (bootAtMs >= 0 && now >= bootAtMs) {
            bootAtMs = -1;
            inBoot = true;
            rx.clear();
            ackDue = false;
            Log("-----", nullptr, 0, 0, "boot loader listening");
        }
        if (appAtMs >= 0 && now >= appAtMs) {
            Log("-----", nullptr, 0, 0, "application restarted");
            StartApplication();
        }
        RunDsp();
        if (o.unplugAfterMs > 0 && now >= o.unplugAfterMs)
            Unplug("unplugged at its time");
        if (gUnplugNow)
            Unplug("unplugged by signal");
    }

    double NextTimerMs() const
    {
        double next = -1;
        auto consider = [&next](double t) {
            if (t >= 0 && (next < 0 || t < next))
                next = t;
        };
        consider(bootAtMs);
        consider(appAtMs);
        if (dspRunning)
            consider(dspNextMs);
        consider(NextOutMs());
        if (!in.empty())
            consider(in.front().dueMs);
        if (o.unplugAfterMs > 0 && !unplugged)
            consider(static_cast<double>(o.unplugAfterMs));
        if (unplugAtMs >= 0 && !unplugged)
            consider(unplugAtMs);
        return next;
    }

    // --- input --------------------------------------------------------------------

    // "^BOOTL$" as it appears on the line, counted whatever side of the
    // device runs and at whatever rate it came.
    size_t bootMatch = 0;
    bool phaseStartPending = false;
    void CountBootCommand(uint8_t b, int baud)
    {
        bootMatch = (b == static_cast<uint8_t>(kBootCommand[bootMatch])) ? bootMatch + 1 : (b == '^' ? 1 : 0);
        if (bootMatch == 1 && phaseStartMs < 0 && !inBoot) {
            phaseStartMs = NowMs();
            phaseStartPending = true;    // confirmed when the command is complete
        }
        if (bootMatch == 0 && phaseStartPending) {
            phaseStartPending = false;
            phaseStartMs = -1;
            phaseBytesIn19200 = phaseBytesIn115200 = 0;
        }
        if (bootMatch == kBootCommandLength) {
            phaseStartPending = false;
            bootMatch = 0;
            if (baud == kAppBaud)
                ++bootCommands19200;
            else
                ++bootCommandsOther;
        }
    }

    // With pacing, received bytes are taken one per byte time at the rate
    // they came at, as a UART would deliver them.
    struct Inbound {
        double dueMs;
        uint8_t byte;
        int baud;
    };
    std::deque<Inbound> in;
    double lastInDueMs = 0;

    void OnRead(const uint8_t* bytes, size_t count)
    {
        const int baud = LineBaud();
        if (!o.pace) {
            OnInput(bytes, count, baud);
            return;
        }
        const double byteMs = baud > 0 ? 10000.0 / baud : 0;
        for (size_t i = 0; i < count; ++i) {
            double due = NowMs() + byteMs;
            if (due < lastInDueMs + byteMs)
                due = lastInDueMs + byteMs;
            lastInDueMs = due;
            in.push_back(Inbound{due, bytes[i], baud});
        }
    }

    void TakeInbound()
    {
        while (!in.empty() && in.front().dueMs <= NowMs()) {
            const Inbound next = in.front();
            in.pop_front();
            OnInput(&next.byte, 1, next.baud);
        }
    }

    void OnInput(const uint8_t* bytes, size_t count, int baud)
    {
        for (size_t i = 0; i < count; ++i) {
            CountBootCommand(bytes[i], baud);
            if (InPhase())
                (baud == kAppBaud ? phaseBytesIn19200 : phaseBytesIn115200)++;
            uint8_t b = bytes[i];
            const char* note = "";
            if (baud != ListeningBaud()) {
                ++noiseIn;
                if (o.rxNoise == NoiseMode::Drop) {
                    Log("drop<", &b, 1, baud, "received at the wrong rate: dropped");
                    continue;
                }
                b = WrongRateByte(baud, ListeningBaud());
                note = "received at the wrong rate: garbled";
            }
            Log("host<", &bytes[i], 1, baud, note);
            if (silent || !Disturb(&b))
                continue;
            if (inBoot)
                OnBootByte(b, baud);
            else
                OnAppByte(b);
        }
    }

    // --- report -------------------------------------------------------------------

    void WriteReport()
    {
        if (o.reportFile.empty())
            return;
        Json j;
        j.Obj();
        j.Str("mode", unplugged ? "unplugged" : (inBoot ? "bootloader" : "application"));
        j.Num("versionQueries", versionQueries);
        j.Num("bootCommandsAt19200", bootCommands19200);
        j.Num("bootCommandsAtOtherRates", bootCommandsOther);
        j.Num("informationQueries", infoQueries);
        j.Num("downloadStarts", starts);
        j.Num("recordPackets", recordPacket);
        j.Num("recordsAccepted", static_cast<long long>(records.size()));
        j.Num("resets", resets);
        j.Num("naksSent", naks);
        j.Num("noiseReceived", noiseIn);
        j.Num("noiseSent", noiseOut);
        j.Num("bitsFlipped", flipped);
        j.Num("bytesLost", dropped);
        j.Str("version", VersionText(version));
        j.Bool("downloadComplete", downloadComplete);
        j.Obj("downloadPhase");
        j.Dbl("startMs", phaseStartMs);
        j.Dbl("endMs", phaseEndMs);
        j.Num("bytesIn19200", phaseBytesIn19200);
        j.Num("bytesIn115200", phaseBytesIn115200);
        j.Num("bytesOut19200", phaseBytesOut19200);
        j.Num("bytesOut115200", phaseBytesOut115200);
        j.Num("turnarounds", phaseTurnarounds);
        j.Num("latencyMs", o.latencyMs);
        j.Bool("paced", o.pace);
        j.End();
        if (haveImage) {
            j.Obj("image");
            j.Str("path", image.path);
            j.Num("records", static_cast<long long>(image.records.size()));
            j.Bool("crcOk", image.crcOk);
            j.End();
            bool startOk = startPacket == image.expectedStart;
            long long firstMismatch = -1;
            for (size_t i = 0; i < records.size() && i < image.expectedRecords.size(); ++i)
                if (records[i] != image.expectedRecords[i] && firstMismatch < 0)
                    firstMismatch = static_cast<long long>(i) + 1;
            j.Bool("startPacketMatches", startOk);
            if (firstMismatch < 0)
                j.Null("firstMismatchedRecord");
            else
                j.Num("firstMismatchedRecord", firstMismatch);
            j.Bool("imageMatches", startOk && firstMismatch < 0 && records.size() == image.expectedRecords.size());
        }
        j.Arr("packets");
        for (const Packet& p : packets) {
            j.Obj();
            j.Num("command", p.data.empty() ? -1 : p.data[0]);
            j.Num("length", static_cast<long long>(p.data.size()));
            j.Num("sizeByte", p.sizeByte);
            j.Bool("checksumOk", p.checksumOk);
            j.Num("baud", p.baud);
            j.Dbl("atMs", p.atMs);
            if (o.reportPackets == ReportPackets::Full)
                j.Str("data", Hex(p.data));
            j.End();
        }
        j.End();
        j.End();
        const std::string tmp = o.reportFile + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (!f)
            return;
        std::fputs(j.Text().c_str(), f);
        std::fputs("\n", f);
        std::fclose(f);
        std::rename(tmp.c_str(), o.reportFile.c_str());
    }

    // --- the run ------------------------------------------------------------------

    int Open()
    {
        char name[256] = {};
        if (openpty(&master, &slaveKeep, name, nullptr, nullptr) != 0) {
            std::perror("tlxsim: openpty");
            return 1;
        }
        struct termios t;
        tcgetattr(slaveKeep, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(slaveKeep, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        slavePath = name;
        if (!o.linkPath.empty()) {
            unlink(o.linkPath.c_str());
            if (symlink(name, o.linkPath.c_str()) != 0)
                std::perror("tlxsim: link");
        }
        if (!o.ptyFile.empty()) {
            FILE* f = std::fopen(o.ptyFile.c_str(), "w");
            if (f) {
                std::fprintf(f, "%s\n", name);
                std::fclose(f);
            }
        }
        std::printf("%s\n", name);
        std::fflush(stdout);
        return 0;
    }

    int Run()
    {
        version = o.version;
        inBoot = o.startInBoot;
        noise.seed(o.seed);
        if (!o.imageFile.empty()) {
            haveImage = LoadImage(o.imageFile, &image);
            if (!haveImage) {
                std::fprintf(stderr, "tlxsim: %s: %s\n", o.imageFile.c_str(), image.error.c_str());
                return 2;
            }
        }
        if (!o.logFile.empty())
            log = std::fopen(o.logFile.c_str(), "w");
        if (Open() != 0)
            return 1;
        WriteReport();
        const double exitAtMs = o.exitAfterS > 0 ? o.exitAfterS * 1000 : -1;
        while (!gStop) {
            if (gReportNow) {
                gReportNow = 0;
                WriteReport();
            }
            if (exitAtMs > 0 && NowMs() >= exitAtMs)
                break;
            TakeInbound();
            Timers();
            FlushOut();
            // The cable goes a moment after the status is out, so that the
            // status itself still reaches the other side.
            if (unplugRequested && out.empty() && unplugAtMs < 0)
                unplugAtMs = NowMs() + 50;
            if (unplugAtMs >= 0 && NowMs() >= unplugAtMs)
                Unplug("unplugged after a record");
            if (unplugged) {
                pollTimeout(50);
                continue;
            }
            const double next = NextTimerMs();
            double waitMs = 100;
            if (next >= 0) {
                waitMs = next - NowMs();
                waitMs = waitMs < 0 ? 0 : (waitMs > 100 ? 100 : waitMs);
            }
            // Waits to the microsecond: paced bytes are a tenth of a millisecond apart.
            const long waitUs = static_cast<long>(waitMs * 1000);
            struct timespec timeout = {waitUs / 1000000, (waitUs % 1000000) * 1000};
            struct pollfd entry = {master, POLLIN, 0};
            const int ready = ppoll(&entry, 1, &timeout, nullptr);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready > 0 && (entry.revents & POLLIN)) {
                uint8_t buffer[4096];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0)
                    OnRead(buffer, static_cast<size_t>(n));
            }
        }
        WriteReport();
        if (!o.linkPath.empty())
            unlink(o.linkPath.c_str());
        return 0;
    }

    static void pollTimeout(int ms) { poll(nullptr, 0, ms); }
};

void OnStop(int) { gStop = 1; }
void OnUnplug(int) { gUnplugNow = 1; }
void OnReport(int) { gReportNow = 1; }

}  // namespace
}  // namespace tlxsim

int main(int argc, char** argv)
{
    using namespace tlxsim;
    static Device device;
    const int parsed = ParseOptions(argc, argv, &device.o);
    if (parsed == 1)
        return 0;
    if (parsed != 0)
        return 2;
    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    struct sigaction unplug = {};
    unplug.sa_handler = OnUnplug;
    sigaction(SIGUSR1, &unplug, nullptr);
    struct sigaction report = {};
    report.sa_handler = OnReport;
    sigaction(SIGUSR2, &report, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return device.Run();
}
