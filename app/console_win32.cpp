// Console backend for Windows.
//
// On a console, key presses come from the runtime's _kbhit and _getch,
// which read without echo and without Enter; a function or cursor key
// delivers 0 or 0xE0 and then its second code, read here as one press.
//
// When standard input is a pipe or a file, each of its bytes is one key
// press, and at its end no key can come any more. Whether a byte is waiting
// cannot be asked of every such handle (PeekNamedPipe fails on pipes that
// do not come from Windows, as under Wine), so a reader thread, started
// once, takes the bytes as they come into a small queue, and the key
// operations look at the queue. The thread blocks only in ReadFile and in
// waiting for room in the queue; it ends at the end of the input.
#include "app/console.h"

#include <conio.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// Bytes of piped input read ahead of the program.
constexpr int kQueuedKeys = 64;

struct ConsoleState {
    HANDLE input;
    int inputIsConsole;
    int inputEnded;             // no key can come any more (the program's view)
    // The reader thread's queue, guarded by `lock`.
    CRITICAL_SECTION lock;
    HANDLE changed;             // auto-reset: a byte came, or the input ended
    HANDLE room;                // auto-reset: a byte was taken out
    unsigned char keys[kQueuedKeys];
    int first;
    int count;
    int readerEnded;            // the reader met the end of the input
};
ConsoleState gConsole = {};

DWORD WINAPI ReadInput(LPVOID)
{
    for (;;) {
        unsigned char byte = 0;
        DWORD got = 0;
        if (!ReadFile(gConsole.input, &byte, 1, &got, nullptr) || got != 1)
            break;
        EnterCriticalSection(&gConsole.lock);
        while (gConsole.count == kQueuedKeys) {
            LeaveCriticalSection(&gConsole.lock);
            WaitForSingleObject(gConsole.room, INFINITE);
            EnterCriticalSection(&gConsole.lock);
        }
        gConsole.keys[(gConsole.first + gConsole.count) % kQueuedKeys] = byte;
        ++gConsole.count;
        LeaveCriticalSection(&gConsole.lock);
        SetEvent(gConsole.changed);
    }
    EnterCriticalSection(&gConsole.lock);
    gConsole.readerEnded = 1;
    LeaveCriticalSection(&gConsole.lock);
    SetEvent(gConsole.changed);
    return 0;
}

// Takes the next queued byte: the byte, -1 when the queue is empty and the
// input has ended, -2 when it is empty for now.
int TakeQueued()
{
    int result = -2;
    EnterCriticalSection(&gConsole.lock);
    if (gConsole.count > 0) {
        result = gConsole.keys[gConsole.first];
        gConsole.first = (gConsole.first + 1) % kQueuedKeys;
        --gConsole.count;
    } else if (gConsole.readerEnded) {
        result = -1;
    }
    LeaveCriticalSection(&gConsole.lock);
    if (result >= 0)
        SetEvent(gConsole.room);
    return result;
}

}  // namespace

void ConsoleStart()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    gConsole.input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (gConsole.input == nullptr || gConsole.input == INVALID_HANDLE_VALUE) {
        gConsole.inputEnded = 1;
        return;
    }
    gConsole.inputIsConsole = GetConsoleMode(gConsole.input, &mode) ? 1 : 0;
    if (gConsole.inputIsConsole)
        return;
    InitializeCriticalSection(&gConsole.lock);
    gConsole.changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    gConsole.room = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (gConsole.changed == nullptr || gConsole.room == nullptr ||
        CreateThread(nullptr, 0, ReadInput, nullptr, 0, nullptr) == nullptr)
        gConsole.inputEnded = 1;    // no way to read it: as if it had ended
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
    if (gConsole.inputIsConsole)
        return _kbhit() ? 1 : 0;
    EnterCriticalSection(&gConsole.lock);
    const int waiting = gConsole.count > 0 ? 1 : 0;
    if (!waiting && gConsole.readerEnded)
        gConsole.inputEnded = 1;
    LeaveCriticalSection(&gConsole.lock);
    return waiting;
}

int ReadKey()
{
    if (gConsole.inputEnded)
        return kNoMoreKeys;
    if (gConsole.inputIsConsole) {
        const int code = _getch();
        if (code == 0 || code == 0xE0)
            return kFunctionKey + (_getch() & 0xFF);
        return code & 0xFF;
    }
    for (;;) {
        const int byte = TakeQueued();
        if (byte >= 0)
            return byte;
        if (byte == -1) {
            gConsole.inputEnded = 1;
            return kNoMoreKeys;
        }
        WaitForSingleObject(gConsole.changed, INFINITE);
    }
}

void EndProcess(int status)
{
    std::exit(status);
}
