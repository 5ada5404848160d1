// Serial port backend for Windows (Win32 communications functions).
//
// The port is opened for overlapped I/O so that every transfer can be
// bounded: each read and each write waits at most kTransferWaitMs for its
// transfer, and a transfer whose wait ran out is cancelled and waited for,
// so it never touches the caller's buffer after the call has returned.
// Reads and writes have their own transfer records and events. A write then
// watches the driver's output queue until it is empty, within the same
// bound; FlushFileBuffers would wait for it without one.
//
// Exclusive use is the system's: Windows' serial drivers give a
// communications port to one handle at a time.
#include "serial/serial.h"

#include "app/console.h"

#include <windows.h>

struct SerialPort {
    HANDLE handle;              // the open device; null while closed
    OVERLAPPED readTransfer;    // with a manual-reset event
    OVERLAPPED writeTransfer;   // with a second one
    int baud;                   // the line's rate, for the output queue's wire time
    int open;                   // 1 while handle and both events are valid
};

SerialPort gSerialPort = {};

namespace {

// Driver queue sizes requested for each direction.
constexpr DWORD kQueueBytes = 10000;

void ReleaseAll(SerialPort* port)
{
    if (port->readTransfer.hEvent != nullptr)
        CloseHandle(port->readTransfer.hEvent);
    if (port->writeTransfer.hEvent != nullptr)
        CloseHandle(port->writeTransfer.hEvent);
    if (port->handle != nullptr && port->handle != INVALID_HANDLE_VALUE)
        CloseHandle(port->handle);
    port->readTransfer.hEvent = nullptr;
    port->writeTransfer.hEvent = nullptr;
    port->handle = nullptr;
    port->open = 0;
}

void SetLine(DCB* settings, int baud)
{
    settings->BaudRate = static_cast<DWORD>(baud);
    settings->ByteSize = 8;
}

// Waits for a transfer that ReadFile or WriteFile began, `started` being
// their result. Returns the byte count it moved; 0 when it could not start
// or did not finish within kTransferWaitMs (it is then cancelled, and the
// cancellation waited for).
int FinishTransfer(SerialPort* port, OVERLAPPED* transfer, BOOL started)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return 0;
    DWORD moved = 0;
    if (!started && WaitForSingleObject(transfer->hEvent, kTransferWaitMs) != WAIT_OBJECT_0) {
        CancelIoEx(port->handle, transfer);
        // Wait for the cancellation itself; a transfer that finished
        // meanwhile counts with what it moved.
        if (GetOverlappedResult(port->handle, transfer, &moved, TRUE))
            return static_cast<int>(moved);
        return 0;
    }
    if (!GetOverlappedResult(port->handle, transfer, &moved, FALSE))
        return 0;
    return static_cast<int>(moved);
}

void PrepareTransfer(OVERLAPPED* transfer)
{
    const HANDLE event = transfer->hEvent;
    ZeroMemory(transfer, sizeof *transfer);
    transfer->hEvent = event;
}

// Waits until the driver's output queue is empty or kTransferWaitMs have
// passed since `startMs` (a ClockNow reading), sleeping about as long as
// the queued bytes take on the wire. Returns 1 when it emptied; on time-out
// the queue is purged and 0 returned. A queue that cannot be asked about
// counts as empty.
int WaitOutputDrained(SerialPort* port, uint32_t startMs)
{
    for (;;) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(port->handle, &errors, &status) || status.cbOutQue == 0)
            return 1;
        const uint32_t passedMs = ClockNow() - startMs;
        if (passedMs >= static_cast<uint32_t>(kTransferWaitMs)) {
            PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
            return 0;
        }
        const uint32_t leftMs = kTransferWaitMs - passedMs;
        uint32_t waitMs = port->baud > 0 ? status.cbOutQue * 10000u / static_cast<uint32_t>(port->baud) : 1u;
        if (waitMs < 1)
            waitMs = 1;
        if (waitMs > leftMs)
            waitMs = leftMs;
        Sleep(waitMs);
    }
}

LARGE_INTEGER ProgramStart()
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    return start;
}

const LARGE_INTEGER kProgramStart = ProgramStart();

}  // namespace

int OpenPort(SerialPort* port, unsigned portNumber, int baud)
{
    if (port->open == 1) {
        Print("Com%d already open!\n", static_cast<int>(portNumber));
        return 1;
    }
    port->open = 0;
    char name[15];
    wsprintfA(name, "\\\\.\\COM%d", static_cast<int>(portNumber));
    const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return 0;
    port->handle = handle;
    ZeroMemory(&port->readTransfer, sizeof port->readTransfer);
    ZeroMemory(&port->writeTransfer, sizeof port->writeTransfer);

    // Reads end more than kByteGapMs after their last byte; the first byte
    // is waited for by FinishTransfer's bound.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = kByteGapMs;

    port->readTransfer.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->writeTransfer.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    // Parity, stop bits and RTS stay as the port has them; every setting
    // that would hold bytes back, drop them or change them is switched off.
    DCB settings = {};
    settings.DCBlength = sizeof settings;
    const BOOL haveSettings = GetCommState(handle, &settings);
    SetLine(&settings, baud);
    settings.fBinary = TRUE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fNull = FALSE;
    settings.fErrorChar = FALSE;
    settings.fAbortOnError = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;

    if (haveSettings && SetCommState(handle, &settings) && SetCommTimeouts(handle, &timeouts) &&
        SetupComm(handle, kQueueBytes, kQueueBytes) && port->readTransfer.hEvent != nullptr &&
        port->writeTransfer.hEvent != nullptr) {
        port->baud = baud;
        port->open = 1;
        return 1;
    }
    ReleaseAll(port);
    return 0;
}

int SetBaudRate(SerialPort* port, int baud)
{
    if (port->open != 1 || port->handle == nullptr)
        return 0;
    DCB settings = {};
    settings.DCBlength = sizeof settings;
    if (GetCommState(port->handle, &settings)) {
        SetLine(&settings, baud);
        if (SetCommState(port->handle, &settings)) {
            port->baud = baud;
            return 1;
        }
    }
    ReleaseAll(port);
    return 0;
}

int ClosePort(SerialPort* port)
{
    if (port->open == 1 && port->handle != nullptr)
        ReleaseAll(port);
    port->open = 0;
    port->handle = nullptr;
    return 1;
}

int WriteBytes(SerialPort* port, const void* bytes, int count)
{
    if (port->open != 1 || port->handle == nullptr || count <= 0)
        return 0;
    const uint32_t startMs = ClockNow();
    PrepareTransfer(&port->writeTransfer);
    const BOOL started = WriteFile(port->handle, bytes, static_cast<DWORD>(count), nullptr, &port->writeTransfer);
    const int written = FinishTransfer(port, &port->writeTransfer, started);
    if (written != count)
        return written;
    return WaitOutputDrained(port, startMs) ? count : 0;
}

int ReadBytes(SerialPort* port, void* buffer, int count)
{
    if (port->open != 1 || port->handle == nullptr || count <= 0)
        return 0;
    PrepareTransfer(&port->readTransfer);
    const BOOL started = ReadFile(port->handle, buffer, static_cast<DWORD>(count), nullptr, &port->readTransfer);
    return FinishTransfer(port, &port->readTransfer, started);
}

int BytesAvailable(SerialPort* port)
{
    if (port->open != 1 || port->handle == nullptr)
        return 0;
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(port->handle, &errors, &status))
        return 0;
    return static_cast<int>(status.cbInQue);
}

uint32_t ClockNow()
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const long long ticks = now.QuadPart - kProgramStart.QuadPart;
    return static_cast<uint32_t>(ticks / frequency.QuadPart * 1000 + ticks % frequency.QuadPart * 1000 / frequency.QuadPart);
}

void PauseMs(int durationMs)
{
    if (durationMs > 0)
        Sleep(static_cast<DWORD>(durationMs));
}
