// Console backend for Windows.
//
// On a console, key presses come from the runtime's _kbhit and _getch,
// which read without echo and without Enter; a function or cursor key
// delivers 0 or 0xE0 and then its second code, read here as one press.
// When standard input is a pipe or a file, each of its bytes is one key
// press, and at its end no key can come any more.
#include "app/console.h"

#include <conio.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

struct ConsoleState {
    HANDLE input;
    int inputIsConsole;
    int inputIsPipe;
    int inputEnded;
};
ConsoleState gConsole = {};

int ReadInputByte()
{
    unsigned char byte = 0;
    DWORD got = 0;
    if (!ReadFile(gConsole.input, &byte, 1, &got, nullptr) || got != 1)
        return -1;
    return byte;
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
    gConsole.inputIsPipe = GetFileType(gConsole.input) == FILE_TYPE_PIPE ? 1 : 0;
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
    if (gConsole.inputIsPipe) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(gConsole.input, nullptr, 0, nullptr, &waiting, nullptr)) {
            gConsole.inputEnded = 1;    // the writer has gone: no key can come
            return 0;
        }
        return waiting > 0 ? 1 : 0;
    }
    return 1;    // a file: a read answers at once, with a byte or its end
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
    const int byte = ReadInputByte();
    if (byte < 0) {
        gConsole.inputEnded = 1;
        return kNoMoreKeys;
    }
    return byte;
}

void EndProcess(int status)
{
    std::exit(status);
}
