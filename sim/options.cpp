// tlxsim: command-line and scenario-file parsing.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace tlxsim {

namespace {

struct OptionSpec {
    const char* name;     // without the leading "--"
    const char* value;    // name of the value, or nullptr for a plain flag
    const char* help;
    std::function<bool(Options*, const std::string&)> apply;
};

bool ToLong(const std::string& text, long* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool ToRate(const std::string& text, double* value)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || v < 0 || v > 1)
        return false;
    *value = v;
    return true;
}

bool ToInt(const std::string& text, int* value)
{
    long v = 0;
    if (!ToLong(text, &v))
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool ToU32(const std::string& text, uint32_t* value, int base)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool ToNoise(const std::string& text, NoiseMode* mode)
{
    if (text == "garble")
        *mode = NoiseMode::Garble;
    else if (text == "drop")
        *mode = NoiseMode::Drop;
    else
        return false;
    return true;
}

const std::vector<OptionSpec>& Specs()
{
    static const std::vector<OptionSpec> specs = {
        // General and files.
        {"help", nullptr, "print this list and exit", nullptr},
        {"scenario", "FILE",
         "read more options from FILE: one option per line, the leading \"--\" optional, "
         "'#' starts a comment (e.g. \"fail-record 5\")",
         nullptr},
        {"pty-file", "FILE", "also write the pty slave path (one line) to FILE",
         [](Options* o, const std::string& v) { o->ptyFile = v; return true; }},
        {"link", "PATH", "create a symbolic link PATH to the pty slave (removed at exit)",
         [](Options* o, const std::string& v) { o->linkPath = v; return true; }},
        {"report", "FILE",
         "write a JSON report of everything received to FILE (at exit, after each reset, "
         "at unplug, on SIGUSR2)",
         [](Options* o, const std::string& v) { o->reportFile = v; return true; }},
        {"report-packets", "full|summary",
         "full (default): every packet with its data as hex; summary: packets without data",
         [](Options* o, const std::string& v) {
             if (v == "full")
                 o->reportPackets = ReportPackets::Full;
             else if (v == "summary")
                 o->reportPackets = ReportPackets::Summary;
             else
                 return false;
             return true;
         }},
        {"log", "FILE", "log every byte in each direction with timestamps to FILE",
         [](Options* o, const std::string& v) { o->logFile = v; return true; }},
        {"image", "FILE",
         "image file to compare the download with; its version becomes the "
         "version after a complete download",
         [](Options* o, const std::string& v) { o->imageFile = v; return true; }},
        {"flash-out", "FILE", "write the record bytes of the last download (binary) to FILE at exit",
         [](Options* o, const std::string& v) { o->flashOut = v; return true; }},
        {"exit-after", "SECONDS", "end by itself after SECONDS (a safety net for scripts)",
         [](Options* o, const std::string& v) {
             char* end = nullptr;
             o->exitAfterS = std::strtod(v.c_str(), &end);
             return end && *end == '\0' && o->exitAfterS >= 0;
         }},

        // Identity.
        {"name", "TEXT", "product name (default VEL2346)",
         [](Options* o, const std::string& v) { o->productName = v; return true; }},
        {"no-name", nullptr, "empty product name",
         [](Options* o, const std::string&) { o->productName.clear(); return true; }},
        {"version", "V", "installed version: 2.56 (default), 2.57.03b, or 0x02380000",
         [](Options* o, const std::string& v) { return ParseVersion(v, &o->version); }},
        {"new-version", "V",
         "version after a complete download (default: the --image header's, else 2.57)",
         [](Options* o, const std::string& v) {
             o->haveNewVersion = true;
             return ParseVersion(v, &o->newVersion);
         }},
        {"family", "N", "family code (default 68)",
         [](Options* o, const std::string& v) { return ToU32(v, &o->family, 0); }},
        {"pcb", "N", "PCB revision (default 10)",
         [](Options* o, const std::string& v) { return ToU32(v, &o->pcb, 0); }},
        {"option-word", "HEX", "option word, hexadecimal (default 1F)",
         [](Options* o, const std::string& v) { return ToU32(v, &o->optionWord, 16); }},
        {"no-identity", nullptr, "version reply without the \",family,pcb,option\" part",
         [](Options* o, const std::string&) { o->identity = false; return true; }},
        {"reply-text", "TEXT",
         "send TEXT (framed as ^TEXT$) as the version reply instead of the built one",
         [](Options* o, const std::string& v) { o->replyText = v; return true; }},
        {"pre-message", "TEXT",
         "send ^TEXT$ before each version reply (repeatable; \"\" gives ^$, + gives ^+$)",
         [](Options* o, const std::string& v) { o->preMessages.push_back(v); return true; }},

        // Application behaviour.
        {"reply-delay-ms", "N", "delay before the application answers a message (default 0)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->appReplyDelayMs); }},
        {"handover-ms", "N", "\"^BOOTL$\" to boot loader listening (default 20)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->handoverMs); }},
        {"boot-delay-ms", "N", "reset to application running (default 100)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->bootDelayMs); }},
        {"ready-before-download", nullptr, "send ^=P$ after every version reply",
         [](Options* o, const std::string&) { o->readyBeforeDownload = true; return true; }},
        {"extra-message", "TEXT", "send ^TEXT$ before the DSP progress (repeatable)",
         [](Options* o, const std::string& v) { o->extraMessages.push_back(v); return true; }},
        {"extra-bang", nullptr, "same as --extra-message \"!7,Flash erased\"",
         [](Options* o, const std::string&) {
             o->extraMessages.push_back("!7,Flash erased");
             return true;
         }},
        {"dsp-banks", "N", "number of DSP banks reported after an update (default 3)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->dspBanks); }},
        {"dsp-step-ms", "N", "time between DSP progress messages (default 200)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->dspStepMs); }},
        {"dsp-start-ms", "N", "time from the version reply to the first DSP message (default 200)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->dspStartMs); }},
        {"dsp-silent-after-bank", "K", "report banks 1..K, then nothing (no ready message)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->dspSilentAfterBank); }},
        {"dsp-endless", nullptr, "DSP progress never ends (banks repeat for ever)",
         [](Options* o, const std::string&) { o->dspEndless = true; return true; }},
        {"no-ready", nullptr, "no ^=P$ after the DSP progress",
         [](Options* o, const std::string&) { o->noReady = true; return true; }},
        {"dsp-always", nullptr, "run the DSP progress after every reset, even without a complete download",
         [](Options* o, const std::string&) { o->dspAlways = true; return true; }},
        {"incomplete-stays-in-boot", nullptr,
         "after a reset that follows an incomplete download, stay in the boot loader",
         [](Options* o, const std::string&) { o->incompleteStaysInBoot = true; return true; }},

        // Boot loader.
        {"start-in-bootloader", nullptr, "start in the boot loader (115200 baud)",
         [](Options* o, const std::string&) { o->startInBoot = true; return true; }},
        {"bootloader-silent", nullptr, "the boot loader never sends anything (it still records)",
         [](Options* o, const std::string&) { o->bootSilent = true; return true; }},
        {"answer-info-from", "N",
         "ignore (no ACK, no reply) the first N-1 information queries; answer from the Nth on",
         [](Options* o, const std::string& v) { return ToInt(v, &o->answerInfoFrom); }},
        {"bootinfo-old", nullptr, "older BootInfo layout: 45 bytes, layout word 0",
         [](Options* o, const std::string&) { o->bootInfoOld = true; return true; }},
        {"layout-word", "N", "layout word of the new BootInfo layout (default 0x0800)",
         [](Options* o, const std::string& v) {
             uint32_t w = 0;
             if (!ToU32(v, &w, 0) || w > 0xFFFF)
                 return false;
             o->layoutWord = static_cast<uint16_t>(w);
             return true;
         }},
        {"ack-with-zero", nullptr, "send every ACK as 0x00 0xCC",
         [](Options* o, const std::string&) { o->ackWithZero = true; return true; }},
        {"bad-info-checksum", nullptr, "send the BootInfo packet with a wrong checksum",
         [](Options* o, const std::string&) { o->badInfoChecksum = true; return true; }},
        {"no-reset-ack", nullptr, "do not ACK the reset packet (default: ACK, then restart)",
         [](Options* o, const std::string&) { o->resetAck = false; return true; }},
        {"packet-timeout-ms", "N", "gap inside a packet after which it is dropped (default 500)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->packetTimeoutMs); }},

        // Download faults.
        {"fail-start", nullptr, "answer every download start with status 0x44",
         [](Options* o, const std::string&) { o->failStart = true; return true; }},
        {"fail-start-once", nullptr, "answer the first download start with status 0x44",
         [](Options* o, const std::string&) { o->failStartOnce = true; return true; }},
        {"fail-record", "N", "answer record packet N with status 0x44 (once)",
         [](Options* o, const std::string& v) { return ToLong(v, &o->failRecord); }},
        {"fail-code", "HEX", "status code used by --fail-start* and --fail-record (default 44)",
         [](Options* o, const std::string& v) {
             uint32_t c = 0;
             if (!ToU32(v, &c, 16) || c > 0xFF)
                 return false;
             o->failCode = c;
             return true;
         }},
        {"no-ack-record", "N", "send no ACK for record packet N (it is not written)",
         [](Options* o, const std::string& v) { return ToLong(v, &o->noAckRecord); }},
        {"nak-record", "N", "answer record packet N with NAK 0x33 (it is not written)",
         [](Options* o, const std::string& v) { return ToLong(v, &o->nakRecord); }},
        {"unplug-after-record", "N",
         "after the status of record N: device unplugged (pty closed)",
         [](Options* o, const std::string& v) { return ToLong(v, &o->unplugAfterRecord); }},
        {"silent-after-record", "N", "after the status of record N: send nothing any more",
         [](Options* o, const std::string& v) { return ToLong(v, &o->silentAfterRecord); }},
        {"bad-status-checksum-record", "N", "status packet after record N with a wrong checksum",
         [](Options* o, const std::string& v) { return ToLong(v, &o->badStatusChecksumRecord); }},
        {"bad-start-status-checksum", nullptr, "status packet after the download start with a wrong checksum",
         [](Options* o, const std::string&) { o->badStartStatusChecksum = true; return true; }},
        {"unplug-after-ms", "N", "device unplugged N ms after start (SIGUSR1 unplugs at once)",
         [](Options* o, const std::string& v) { return ToLong(v, &o->unplugAfterMs); }},

        // Line.
        {"pace", nullptr, "emulate the wire speed: one byte per 10 bit times, both directions",
         [](Options* o, const std::string&) { o->pace = true; return true; }},
        {"latency-ms", "N", "adapter latency added to each reply burst (0, 1, 16 ...)",
         [](Options* o, const std::string& v) { return ToInt(v, &o->latencyMs); }},
        {"rx-noise", "garble|drop",
         "bytes received at the wrong rate: garble (default: 0x00 when sent slower than the "
         "device listens, 0xFF when faster) or drop",
         [](Options* o, const std::string& v) { return ToNoise(v, &o->rxNoise); }},
        {"tx-noise", "garble|drop", "bytes sent while the port is at another rate: garble (default) or drop",
         [](Options* o, const std::string& v) { return ToNoise(v, &o->txNoise); }},
        {"flip-rate", "P", "chance per byte, both directions, that one bit of it flips (line noise)",
         [](Options* o, const std::string& v) { return ToRate(v, &o->flipRate); }},
        {"drop-rate", "P", "chance per byte, both directions, that it is lost",
         [](Options* o, const std::string& v) { return ToRate(v, &o->dropRate); }},
        {"seed", "N", "seed of the line noise (default 1)",
         [](Options* o, const std::string& v) {
             int n = 0;
             if (!ToInt(v, &n))
                 return false;
             o->seed = static_cast<unsigned>(n);
             return true;
         }},
        {"ignore-baud", nullptr, "do not check the line rate (every byte gets through)",
         [](Options* o, const std::string&) { o->ignoreBaud = true; return true; }},
    };
    return specs;
}

void PrintHelp()
{
    std::printf(
        "Usage: tlxsim [options]\n"
        "Tolvex device simulator: creates a pseudo-terminal pair, prints the slave path\n"
        "(the port for tlxup, e.g. TLXUP_PORTS=<path> tlxup 1) on its first output line\n"
        "and plays the device on the master side until SIGTERM/SIGINT.\n"
        "Signals: SIGTERM/SIGINT/SIGHUP end (report written), SIGUSR1 unplugs the device,\n"
        "SIGUSR2 writes the report now.\n\nOptions:\n");
    for (const OptionSpec& spec : Specs()) {
        std::string head = std::string("  --") + spec.name;
        if (spec.value)
            head += std::string(" ") + spec.value;
        if (head.size() < 34)
            head.resize(34, ' ');
        else
            head += "\n" + std::string(34, ' ');
        std::printf("%s%s\n", head.c_str(), spec.help);
    }
}

int ParseList(const std::vector<std::string>& args, Options* options, int depth);

int ParseScenario(const std::string& path, Options* options, int depth)
{
    if (depth > 4) {
        std::fprintf(stderr, "tlxsim: scenario files nested too deep\n");
        return 2;
    }
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "tlxsim: cannot read scenario file %s\n", path.c_str());
        return 2;
    }
    std::vector<std::string> args;
    std::string line;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string name;
        if (!(words >> name))
            continue;
        if (name.rfind("--", 0) != 0)
            name = "--" + name;
        args.push_back(name);
        std::string rest;
        std::getline(words, rest);
        const size_t first = rest.find_first_not_of(" \t");
        if (first != std::string::npos) {
            rest = rest.substr(first, rest.find_last_not_of(" \t\r") - first + 1);
            if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
                rest = rest.substr(1, rest.size() - 2);
            args.push_back(rest);
        } else if (!rest.empty()) {
            // only blanks: no value
        }
    }
    return ParseList(args, options, depth + 1);
}

int ParseList(const std::vector<std::string>& args, Options* options, int depth)
{
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool haveValue = false;
        if (arg.rfind("--", 0) != 0) {
            std::fprintf(stderr, "tlxsim: unexpected argument '%s' (see --help)\n", arg.c_str());
            return 2;
        }
        arg = arg.substr(2);
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            haveValue = true;
        }
        if (arg == "help") {
            PrintHelp();
            return 1;
        }
        const OptionSpec* found = nullptr;
        for (const OptionSpec& spec : Specs())
            if (arg == spec.name)
                found = &spec;
        if (!found) {
            std::fprintf(stderr, "tlxsim: unknown option --%s (see --help)\n", arg.c_str());
            return 2;
        }
        if (found->value && !haveValue) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "tlxsim: --%s needs a value %s\n", arg.c_str(), found->value);
                return 2;
            }
            value = args[++i];
        } else if (!found->value && haveValue) {
            std::fprintf(stderr, "tlxsim: --%s takes no value\n", arg.c_str());
            return 2;
        }
        if (arg == "scenario") {
            const int r = ParseScenario(value, options, depth);
            if (r != 0)
                return r;
            continue;
        }
        if (!found->apply(options, value)) {
            std::fprintf(stderr, "tlxsim: bad value '%s' for --%s\n", value.c_str(), arg.c_str());
            return 2;
        }
    }
    return 0;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* options)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return ParseList(args, options, 0);
}

std::string VersionText(uint32_t version)
{
    const unsigned major = (version >> 24) & 0xFF;
    const unsigned minor = (version >> 16) & 0xFF;
    const unsigned beta = (version >> 8) & 0xFF;
    const unsigned letter = version & 0xFF;
    char text[64];
    int n = std::snprintf(text, sizeof text, "%u.%02u", major, minor);
    if (beta != 0)
        n += std::snprintf(text + n, sizeof text - n, ".%02u", beta);
    if (letter != 0 && letter <= 26)
        n += std::snprintf(text + n, sizeof text - n, "%c", static_cast<char>(96 + letter));
    if (beta != 0)
        std::snprintf(text + n, sizeof text - n, "(Beta)");
    return text;
}

bool ParseVersion(const std::string& text, uint32_t* version)
{
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)
        return ToU32(text.substr(2), version, 16);
    unsigned major = 0, minor = 0, beta = 0, letter = 0;
    size_t pos = 0;
    auto number = [&](unsigned* out) {
        const size_t start = pos;
        unsigned v = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            v = v * 10 + static_cast<unsigned>(text[pos++] - '0');
        *out = v;
        return pos > start && v <= 255;
    };
    if (!number(&major) || pos >= text.size() || text[pos] != '.')
        return false;
    ++pos;
    if (!number(&minor))
        return false;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        if (!number(&beta))
            return false;
    }
    if (pos < text.size() && text[pos] >= 'a' && text[pos] <= 'z')
        letter = static_cast<unsigned>(text[pos++] - 'a' + 1);
    if (text.compare(pos, std::string::npos, "(Beta)") == 0)
        pos = text.size();
    if (pos != text.size())
        return false;
    *version = (major << 24) | (minor << 16) | (beta << 8) | letter;
    return true;
}

}  // namespace tlxsim
