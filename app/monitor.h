// Post-update monitor: turns the device's messages into console output and
// update state. The update loop hands it every byte it takes from the port.
//
// Messages are framed as on the application side: "^" starts a message and
// "$" ends it; the characters gathered since the last "^" or "$" form the
// text. At each "$" the text is dispatched through MessageDispatchTable:
// "!" messages are DSP progress (code 100, shown as a self-overwriting line)
// or passed to the console as they are; "=P" is the ready message.
#pragma once

#include <cstdint>

// Size of MessageBuffer. A message keeps at most its first
// kMessageBuffer - 2 characters; the closing "$" and a NUL follow.
constexpr int kMessageBufferSize = 256;

// The process-wide message buffer: all zero at start, never cleared. A
// dispatched message stands at its start, followed by "$" and a NUL.
extern char MessageBuffer[kMessageBufferSize];

// Takes one received byte, as a signed 8-bit character: bytes of 31 or less
// (control characters) and 0x80 to 0xFF are dropped; "^" restarts the
// message; "$" closes and dispatches it; any other byte is kept while the
// message has fewer than 254 characters, and otherwise replaces the last.
void FeedMessageByte(uint8_t byte);

// Runs the handler of the first table row whose pattern begins `text` and is
// not followed there by an ASCII letter. Returns 0 when a row matched and
// its handler ran, 1 when none matched (the message is dropped).
int DispatchMessage(const char* text);

// "!" messages. Code 100 is DSP progress "!100,bank,step$": writes "\n"
// first when the step is 0, then "\rUpdating DSPs: Bank = %u, Complete =
// %3u%%" with (step + 1) * 100 / 6, and sets gUpdateState.lastProgressTime.
// A progress message that ends early reads its missing numbers as 0. Any
// other code writes the message text unchanged, "!" through "$".
void HandleProgressMessage();

// "=P": sets gUpdateState.deviceReady.
void HandleReadyMessage();
