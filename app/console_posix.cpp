// Console backend for POSIX systems.
//
// When standard input is a terminal it is switched to single key presses
// without echo (ICANON and ECHO off; ISIG stays on, so the interrupt key
// still ends the program) for as long as the program runs, and put back on
// every way out: a normal end, an interrupt, a hang-up or a termination
// request. A function or cursor key arrives as an escape sequence and is
// read as one key press.
#include "app/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

struct ConsoleState {
    int inputIsTerminal;
    int terminalChanged;
    int inputEnded;
    struct termios savedTerminal;
};
ConsoleState gConsole = {};

// How long the rest of an escape sequence may take after its escape byte.
constexpr int kSequenceGapMs = 30;
// Longest escape sequence read as one key.
constexpr int kMaxSequenceLength = 16;
// Signals whose default action ends the process; the terminal is put back
// before it ends.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreTerminal()
{
    if (gConsole.terminalChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &gConsole.savedTerminal);
        gConsole.terminalChanged = 0;
    }
}

void OnEndingSignal(int signalNumber)
{
    RestoreTerminal();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// Waits up to `timeoutMs` for input. 1 input (or its end) waiting, 0 none,
// -1 standard input is unusable.
int WaitInput(int timeoutMs)
{
    for (;;) {
        struct pollfd entry = {STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (entry.revents & POLLNVAL))
            return -1;
        return ready > 0 ? 1 : 0;
    }
}

// Reads one byte of standard input: the byte, or -1 at its end.
int ReadInputByte()
{
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

// The rest of an escape sequence after its escape byte; returns the key.
int ReadEscapeSequence()
{
    if (WaitInput(kSequenceGapMs) != 1)
        return 0x1B;    // the Escape key alone
    int byte = ReadInputByte();
    if (byte < 0)
        return 0x1B;
    if (byte != '[' && byte != 'O')
        return kFunctionKey + byte;    // Alt with a key
    const bool controlSequence = byte == '[';
    for (int length = 0; length < kMaxSequenceLength; ++length) {
        if (WaitInput(kSequenceGapMs) != 1)
            break;
        const int next = ReadInputByte();
        if (next < 0)
            break;
        byte = next;
        if (!controlSequence || (byte >= 0x40 && byte <= 0x7E))
            break;
    }
    return kFunctionKey + (byte & 0xFF);
}

}  // namespace

void ConsoleStart()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    gConsole.inputIsTerminal = isatty(STDIN_FILENO);
    if (!gConsole.inputIsTerminal || tcgetattr(STDIN_FILENO, &gConsole.savedTerminal) != 0)
        return;
    struct termios keys = gConsole.savedTerminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    for (int signalNumber : kEndingSignals) {
        struct sigaction action = {};
        action.sa_handler = OnEndingSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
    std::atexit(RestoreTerminal);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0)
        gConsole.terminalChanged = 1;
}

void Print(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
}

int KeyWaiting()
{
    if (gConsole.inputEnded)
        return 0;
    const int ready = WaitInput(0);
    if (ready < 0) {
        gConsole.inputEnded = 1;
        return 0;
    }
    return ready;
}

int ReadKey()
{
    if (gConsole.inputEnded)
        return kNoMoreKeys;
    if (WaitInput(-1) < 0) {
        gConsole.inputEnded = 1;
        return kNoMoreKeys;
    }
    const int byte = ReadInputByte();
    if (byte < 0) {
        gConsole.inputEnded = 1;
        return kNoMoreKeys;
    }
    if (byte == 0x1B && gConsole.inputIsTerminal)
        return ReadEscapeSequence();
    return byte;
}

void EndProcess(int status)
{
    RestoreTerminal();
    std::exit(status);
}
