// Fake platform for unit tests: a serial port whose far end is scripted by
// the test, a virtual millisecond clock, and a console with queued keys and
// captured output. Linked in place of the real backend.
//
// Time is virtual: it moves only when the program waits (a read that waits
// for a byte, PauseMs, an optional cost per write) or when a test moves it.
// Reads follow the real port's rules exactly: at most kFirstByteWaitMs for
// a first byte, then the count or a gap of more than kByteGapMs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fake {

// Puts everything back as at program start: clock 0, port closed and all
// ports present, nothing to receive, no responder, no keys, no output,
// no injected faults, all counters 0. Also zeroes gUpdateState and
// gDeviceInfo; other process-wide records are the tests' own business.
void Reset();

// --- clock -------------------------------------------------------------
uint32_t Now();
void AdvanceMs(uint32_t ms);
void SetNow(uint32_t ms);

// --- the far end of the serial line ------------------------------------
struct SentByte {
    uint8_t value;
    int baud;          // rate the port was set to when it was written
    uint32_t atMs;     // clock when the write began
};

// Every byte the program wrote, in order.
const std::vector<SentByte>& Sent();
// The same, values only.
std::vector<uint8_t> SentBytes();
// Bytes written since the last call of TakeSent (values only).
std::vector<uint8_t> TakeSent();
// Number of WriteBytes calls that reached the line, and their sizes.
const std::vector<int>& WriteSizes();

// Schedules bytes to arrive at the port: the first at `atMs` (default: now),
// each next one `spacingMs` later.
void Deliver(const std::vector<uint8_t>& bytes);
void DeliverAt(uint32_t atMs, const std::vector<uint8_t>& bytes, uint32_t spacingMs = 0);
void Deliver(const std::string& text);
// Bytes scheduled and not yet read by the program.
size_t PendingCount();
void ClearPending();

// Called after every write that reached the line, with the bytes written
// and the baud rate in force; the clock stands at the end of the write.
// A responder plays the device by calling Deliver.
using Responder = std::function<void(const uint8_t* bytes, int count, int baud)>;
void SetResponder(Responder responder);

// --- port and its faults -----------------------------------------------
bool IsOpen();
int Baud();                              // rate in force, 0 when closed
int OpenedPortNumber();                  // number of the last successful open
const std::vector<int>& BaudChanges();   // every successful SetBaudRate rate, in order
void SetPortMissing(unsigned portNumber, bool missing);  // OpenPort fails for it
// The next `n`th (1-based) SetBaudRate call fails (0: none).
void FailSetBaudCall(int n);
// WriteBytes call number `n` (1-based, counted from Reset) reports
// `reported` bytes instead of its count, and nothing of it reaches the line
// when `reported` is 0.
void FailWriteCall(int n, int reported);
// BytesAvailable reports `extra` bytes more than are really there (a
// driver that miscounts); reads still deliver only what is there.
void OverstateAvailable(int extra);
// Clock cost of each WriteBytes, in ms (default 0).
void SetWriteCostMs(uint32_t ms);
// Platform calls made (any backend operation but on a closed port's
// early return, and the clock).
int PlatformCalls();

// --- console -------------------------------------------------------------
// Everything Print wrote since Reset or the last TakeOutput.
const std::string& Output();
std::string TakeOutput();
// Key presses waiting for ReadKey, in order (see kFunctionKey). Once they
// are used up, no key can come any more (ReadKey gives kNoMoreKeys).
void QueueKeys(const std::string& keys);
void QueueKey(int key);
size_t KeysLeft();

// EndProcess in the fake throws this, so a test can catch the program's end.
struct ProcessEnded {
    int status;
};

}  // namespace fake
