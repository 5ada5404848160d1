// Console: text to standard output and single key presses from the user.
//
// The platform backend (console_posix.cpp, console_win32.cpp, or the test
// fake) implements these. Output is unbuffered: every text is visible at
// once, line break or not.
//
// Keys are read one press at a time, without echo and without Enter. When
// standard input is not a terminal (a pipe or a file), each of its bytes is
// one key press, and once it has ended no key can come any more.
#pragma once

#include <cstdint>

// Sets the console up for the run: unbuffered output and, when standard
// input is a terminal, key presses without echo or line editing (the
// interrupt key still interrupts). The terminal's settings are put back on
// every way out of the process, an interrupt included. Call once at start.
void ConsoleStart();

// Writes `format` with printf rules to standard output, visible at once.
void Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A key press as ReadKey returns it: a character code 0 to 255, or for a
// function or cursor key kFunctionKey plus the key's second code.
constexpr int kFunctionKey = 0x100;
// ReadKey's answer when standard input has ended: no key can come any more.
constexpr int kNoMoreKeys = -1;

// 1 when a key press is waiting to be read (ReadKey would not block),
// 0 when none is, and 0 once standard input has ended.
int KeyWaiting();

// Waits for one key press and returns it (see kFunctionKey), or kNoMoreKeys
// at once when standard input has ended.
int ReadKey();

// Puts the console back as ConsoleStart found it and ends the process with
// exit `status`. Never returns.
[[noreturn]] void EndProcess(int status);
