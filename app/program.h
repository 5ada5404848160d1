// Program entry, command line and exit.
//
// The program is started as `TLXUP [x]`: no argument, or a value of 0,
// searches COM1 to COM16; 1 to 99 looks at that port alone; any other value
// ends with the invalid-port message, and two or more arguments with the
// usage text. Every way out goes through ExitProgram(1): the exit status is
// always 1, a successful update included.
#pragma once

#include <cstdint>

// Runs the whole program: blank line, banner, command line, port scan,
// update loop. Never returns.
[[noreturn]] void ProgramMain(int argc, const char* const* argv);

// Writes the two banner lines (the title has no line break of its own; the
// second piece is "\n", the copyright line and "\n").
void PrintBanner();

// What the command line asks for.
enum CommandLineResult : int {
    kCommandLineScan = 0,          // *firstPort..*lastPort is the range to scan
    kCommandLineUsage = 1,         // two or more arguments
    kCommandLineInvalidPort = 2,   // *portValue is neither 0 nor 1..99
};

// Judges the arguments (`argc` counts the program name). The port argument
// is read by the strtoul rules of protocol/numbers.h and then taken as a
// signed 32-bit number p: 0 gives the range 1 to 16, 1..99 gives p to p.
// `portValue` receives the 32-bit value read (0 without an argument).
int ReadCommandLine(int argc, const char* const* argv, int32_t* firstPort, int32_t* lastPort,
                    uint32_t* portValue);

// Closes the port if one is open, writes "\nPress any key to exit...",
// waits for one key press (at once when no key can come any more), writes
// "\n" and ends the process with `status`. Never returns.
[[noreturn]] void ExitProgram(int32_t status);
