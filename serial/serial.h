// Serial link: the one serial port of the process, its line settings,
// bounded reads and writes, and the millisecond clock.
//
// Every exchange with the device goes through these operations; no other
// layer touches the platform's serial interface. The platform backend
// (port_posix.cpp, port_win32.cpp, or the test fake) defines `SerialPort`
// and the operations marked [backend]; port_common.cpp builds the rest on
// them.
//
// Result codes of this layer: 1 for success and 0 for failure, or a byte
// count (0 for nothing or failure). Nothing here retries; the layers above
// decide what a failure means. Nothing here allocates memory.
//
// Line settings made by OpenPort: the caller's baud rate, 8 data bits,
// no XON/XOFF in either direction, no CTS or DSR output handshake, DTR
// raised while the port is open; parity, stop bits and the RTS line are
// left as the port reports them when it is opened. No byte is translated
// on the way in or out.
//
// Waits: a read waits at most kFirstByteWaitMs for its first byte; once a
// byte has arrived it returns at its count or when more than kByteGapMs
// pass without another. A write returns when its bytes have been handed to
// the line, and gives up after kTransferWaitMs.
#pragma once

#include <cstdint>

// The one port object of the process. Its layout belongs to the backend;
// the rest of the program holds it only by address.
struct SerialPort;
extern SerialPort gSerialPort;

// How long one read waits for its first byte, and one write for its bytes
// to reach the line.
constexpr int kTransferWaitMs = 4000;
constexpr int kFirstByteWaitMs = kTransferWaitMs;
// Once a read has a byte, a pause of more than this between two bytes ends it.
constexpr int kByteGapMs = 10;

// [backend] Opens COM`portNumber` (the callers pass 1 to 99) for exclusive
// reading and writing at `baud` with the line settings above.
// Returns 1 when open, 0 when it failed: no such port, a port that another
// program holds, or a line setting the port refused. A failure leaves
// nothing open and prints nothing.
// When the port is already open: prints "Com%d already open!\n" with
// `portNumber`, keeps the port and its settings as they are (the requested
// rate is not applied) and returns 1.
int OpenPort(SerialPort* port, unsigned portNumber, int baud);

// [backend] Switches the open port to `baud`, 8 data bits; nothing else
// changes. Returns 1 when done; 0 when the port is not open, or when the
// platform refused the rate, in which case the port has been closed and
// stays closed until it is opened again.
int SetBaudRate(SerialPort* port, int baud);

// [backend] Closes the port if it is open; on a closed port it makes no
// platform call. Always returns 1; the port is closed afterwards.
int ClosePort(SerialPort* port);

// [backend] Writes `count` bytes and returns once they have been handed to
// the line (the driver's output queue is empty), or after kTransferWaitMs.
// Returns the number of bytes written: `count` on success, fewer or 0 when
// the port is closed, the write cannot start, the port has gone away, or
// the bytes did not leave within kTransferWaitMs. A write that gave up has
// been cancelled and will not touch `bytes` after it returns.
int WriteBytes(SerialPort* port, const void* bytes, int count);

// [backend] Reads up to `count` bytes into `buffer` (bytes that arrived
// before the call count too). Returns as soon as `count` bytes are in; once
// at least one byte has arrived, returns with the bytes so far when more
// than kByteGapMs pass without another; when no byte arrives, returns 0
// after kFirstByteWaitMs. Returns 0 at once when the port is closed, when
// `count` is 0 or less, or when the port has gone away (device unplugged).
// Never delivers more than `count` bytes, and never touches `buffer` after
// it returns.
int ReadBytes(SerialPort* port, void* buffer, int count);

// [backend] Number of received bytes waiting to be read; 0 when none,
// when the port is closed, or when the query fails.
int BytesAvailable(SerialPort* port);

// Reads `count` bytes with repeated ReadBytes until they are all in or more
// than `budgetMs` have passed since the call began. The budget is looked at
// only between reads, and one ReadBytes may wait kFirstByteWaitMs for a
// first byte: on a silent line a 1-byte read with a 2000 ms budget returns 0
// after about 4000 ms. A count of 0 or less returns 0 without reading.
// Returns the number of bytes read, 0 to `count`.
int ReadWithDeadline(SerialPort* port, void* buffer, int count, int budgetMs);

// Discards every received byte that is waiting on the one port, asking
// BytesAvailable again after each byte. Stops when nothing is waiting or a
// read delivers nothing.
void DrainInput();

// [backend] Milliseconds of real time since the program started, as a
// 32-bit reading that wraps. Advances while the program is blocked.
uint32_t ClockNow();

// True when more than `durationMs` have passed since the reading
// `startMs`: (ClockNow() - startMs) > durationMs in unsigned 32-bit
// arithmetic, so a wrap between the readings does not matter.
bool HasElapsed(uint32_t startMs, uint32_t durationMs);

// [backend] Pauses the program for about `durationMs` milliseconds.
void PauseMs(int durationMs);
