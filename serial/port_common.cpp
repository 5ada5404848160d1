// Operations of the serial link that are the same on every platform, built
// on the backend's ReadBytes, BytesAvailable and clock.
#include "serial/serial.h"

bool HasElapsed(uint32_t startMs, uint32_t durationMs)
{
    const uint32_t passedMs = ClockNow() - startMs;
    return passedMs > durationMs;
}

int ReadWithDeadline(SerialPort* port, void* buffer, int count, int budgetMs)
{
    if (count <= 0)
        return 0;
    unsigned char* next = static_cast<unsigned char*>(buffer);
    const uint32_t startMs = ClockNow();
    const uint32_t budget = budgetMs < 0 ? 0u : static_cast<uint32_t>(budgetMs);
    int remaining = count;
    while (remaining > 0 && !HasElapsed(startMs, budget)) {
        const uint32_t readStartMs = ClockNow();
        const int got = ReadBytes(port, next, remaining);
        if (got <= 0) {
            // A closed or vanished port answers at once; pause so that the
            // rest of the budget is waited out, not spun away.
            if (ClockNow() == readStartMs)
                PauseMs(1);
            continue;
        }
        next += got;
        remaining -= got;
    }
    return count - remaining;
}

void DrainInput()
{
    unsigned char scratch = 0;
    while (BytesAvailable(&gSerialPort) != 0) {
        if (ReadBytes(&gSerialPort, &scratch, 1) != 1)
            break;
    }
}
