// Post-update monitor; contracts in monitor.h.
#include "app/monitor.h"

#include "app/console.h"
#include "protocol/device_info.h"
#include "protocol/numbers.h"
#include "serial/serial.h"

char MessageBuffer[kMessageBufferSize] = {};

namespace {

// Characters gathered since the last "^" or dispatch: 0 to 254.
int32_t gMessageLength = 0;
// Highest position a character is stored at; later characters replace it.
constexpr int32_t kLastCharacterPosition = kMessageBufferSize - 2;

// DSP progress reports carry this code after the "!".
constexpr int32_t kProgressCode = 100;

// One row of the dispatch table: a pattern stored with its length (a count
// byte and that many characters, no terminator) and the handler it selects.
struct DispatchRow {
    const char* pattern;
    void (*handler)();
};

// The messages the monitor acts on, in the order they are tried; the row
// without a pattern ends the table.
constexpr DispatchRow MessageDispatchTable[] = {
    {"\x01!", HandleProgressMessage},
    {"\x02=P", HandleReadyMessage},
    {nullptr, nullptr},
};

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Steps over one character, but never over the text's terminating NUL.
const char* Advance(const char* position)
{
    return *position != '\0' ? position + 1 : position;
}

}  // namespace

void FeedMessageByte(uint8_t byte)
{
    const signed char c = static_cast<signed char>(byte);
    if (c <= 31)
        return;
    if (c == '^') {
        gMessageLength = 0;
        return;
    }
    if (c == '$') {
        MessageBuffer[gMessageLength] = '$';
        ++gMessageLength;
        MessageBuffer[gMessageLength] = '\0';
        DispatchMessage(MessageBuffer);
        gMessageLength = 0;
        return;
    }
    MessageBuffer[gMessageLength] = c;
    if (gMessageLength < kLastCharacterPosition)
        ++gMessageLength;
}

int DispatchMessage(const char* text)
{
    for (const DispatchRow* row = MessageDispatchTable; row->pattern != nullptr; ++row) {
        const int count = static_cast<unsigned char>(row->pattern[0]);
        int i = 0;
        while (i < count && text[i] == row->pattern[1 + i])
            ++i;
        if (i == count && !IsAsciiLetter(text[count])) {
            row->handler();
            return 0;
        }
    }
    return 1;
}

void HandleProgressMessage()
{
    const char* position = MessageBuffer + 1;
    const int32_t code = ReadSigned32(position, &position);
    if (code != kProgressCode) {
        Print("%s", MessageBuffer);
        return;
    }
    const int32_t bank = ReadSigned32(Advance(position), &position);
    const int32_t step = ReadSigned32(Advance(position), &position);
    // (step + 1) * 100 / 6 in 32-bit arithmetic, wrapping as the device's
    // own counters do; the division truncates toward zero.
    const int32_t scaled = static_cast<int32_t>((static_cast<uint32_t>(step) + 1u) * 100u);
    const int32_t percent = scaled / 6;
    if (step == 0)
        Print("\n");
    Print("\rUpdating DSPs: Bank = %u, Complete = %3u%%", static_cast<uint32_t>(bank),
          static_cast<uint32_t>(percent));
    gUpdateState.lastProgressTime = ClockNow();
}

void HandleReadyMessage()
{
    gUpdateState.deviceReady = 1;
}
