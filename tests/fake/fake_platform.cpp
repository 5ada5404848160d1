// Fake serial port, clock and console; see fake.h.
#include "fake.h"

#include "app/console.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <set>

struct SerialPort {
    int open;
    int baud;
};

SerialPort gSerialPort = {0, 0};

namespace fake {
namespace {

struct Incoming {
    uint32_t atMs;
    uint8_t value;
};

struct FakeState {
    uint32_t nowMs = 0;
    std::vector<SentByte> sent;
    size_t taken = 0;
    std::vector<int> writeSizes;
    std::deque<Incoming> incoming;
    Responder responder;
    int openedPort = 0;
    std::vector<int> baudChanges;
    std::set<unsigned> missing;
    int failSetBaudCall = 0;
    int setBaudCalls = 0;
    int failWriteCall = 0;
    int failWriteReported = 0;
    int writeCalls = 0;
    int overstate = 0;
    uint32_t writeCostMs = 0;
    int platformCalls = 0;
    std::string output;
    std::deque<int> keys;
};

FakeState& State()
{
    static FakeState state;
    return state;
}

}  // namespace

void Reset()
{
    State() = FakeState();
    gSerialPort = SerialPort{0, 0};
    gUpdateState = UpdateState{};
    gDeviceInfo = DeviceInfo{};
}

uint32_t Now() { return State().nowMs; }
void AdvanceMs(uint32_t ms) { State().nowMs += ms; }
void SetNow(uint32_t ms) { State().nowMs = ms; }

const std::vector<SentByte>& Sent() { return State().sent; }

std::vector<uint8_t> SentBytes()
{
    std::vector<uint8_t> values;
    for (const SentByte& b : State().sent)
        values.push_back(b.value);
    return values;
}

std::vector<uint8_t> TakeSent()
{
    FakeState& s = State();
    std::vector<uint8_t> values;
    for (size_t i = s.taken; i < s.sent.size(); ++i)
        values.push_back(s.sent[i].value);
    s.taken = s.sent.size();
    return values;
}

const std::vector<int>& WriteSizes() { return State().writeSizes; }

void DeliverAt(uint32_t atMs, const std::vector<uint8_t>& bytes, uint32_t spacingMs)
{
    FakeState& s = State();
    uint32_t at = atMs;
    for (uint8_t b : bytes) {
        // Keep arrival order: a byte never arrives before the one queued ahead of it.
        if (!s.incoming.empty() && static_cast<int32_t>(at - s.incoming.back().atMs) < 0)
            at = s.incoming.back().atMs;
        s.incoming.push_back(Incoming{at, b});
        at += spacingMs;
    }
}

void Deliver(const std::vector<uint8_t>& bytes) { DeliverAt(State().nowMs, bytes, 0); }

void Deliver(const std::string& text)
{
    Deliver(std::vector<uint8_t>(text.begin(), text.end()));
}

size_t PendingCount() { return State().incoming.size(); }
void ClearPending() { State().incoming.clear(); }
void SetResponder(Responder responder) { State().responder = std::move(responder); }

bool IsOpen() { return gSerialPort.open == 1; }
int Baud() { return gSerialPort.open ? gSerialPort.baud : 0; }
int OpenedPortNumber() { return State().openedPort; }
const std::vector<int>& BaudChanges() { return State().baudChanges; }

void SetPortMissing(unsigned portNumber, bool missing)
{
    if (missing)
        State().missing.insert(portNumber);
    else
        State().missing.erase(portNumber);
}

void FailSetBaudCall(int n) { State().failSetBaudCall = n; }

void FailWriteCall(int n, int reported)
{
    State().failWriteCall = n;
    State().failWriteReported = reported;
}

void OverstateAvailable(int extra) { State().overstate = extra; }
void SetWriteCostMs(uint32_t ms) { State().writeCostMs = ms; }
int PlatformCalls() { return State().platformCalls; }

const std::string& Output() { return State().output; }

std::string TakeOutput()
{
    std::string out;
    out.swap(State().output);
    return out;
}

void QueueKeys(const std::string& keys)
{
    for (unsigned char c : keys)
        State().keys.push_back(c);
}

void QueueKey(int key) { State().keys.push_back(key); }
size_t KeysLeft() { return State().keys.size(); }

}  // namespace fake

using fake::State;

// --- serial backend --------------------------------------------------------

int OpenPort(SerialPort* port, unsigned portNumber, int baud)
{
    if (port->open == 1) {
        Print("Com%d already open!\n", static_cast<int>(portNumber));
        return 1;
    }
    ++State().platformCalls;
    if (State().missing.count(portNumber) != 0 || (baud != 19200 && baud != 115200))
        return 0;
    port->open = 1;
    port->baud = baud;
    State().openedPort = static_cast<int>(portNumber);
    return 1;
}

int SetBaudRate(SerialPort* port, int baud)
{
    if (port->open != 1)
        return 0;
    ++State().platformCalls;
    ++State().setBaudCalls;
    if (State().setBaudCalls == State().failSetBaudCall || (baud != 19200 && baud != 115200)) {
        port->open = 0;
        port->baud = 0;
        return 0;
    }
    port->baud = baud;
    State().baudChanges.push_back(baud);
    return 1;
}

int ClosePort(SerialPort* port)
{
    if (port->open == 1)
        ++State().platformCalls;
    port->open = 0;
    port->baud = 0;
    return 1;
}

int WriteBytes(SerialPort* port, const void* bytes, int count)
{
    if (port->open != 1 || count <= 0)
        return 0;
    fake::FakeState& s = State();
    ++s.platformCalls;
    ++s.writeCalls;
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    int reported = count;
    int onLine = count;
    if (s.writeCalls == s.failWriteCall) {
        reported = std::min(std::max(s.failWriteReported, 0), count);
        onLine = reported;
    }
    const uint32_t startMs = s.nowMs;
    for (int i = 0; i < onLine; ++i)
        s.sent.push_back(fake::SentByte{data[i], port->baud, startMs});
    s.writeSizes.push_back(onLine);
    s.nowMs += s.writeCostMs;
    if (onLine > 0 && s.responder)
        s.responder(data, onLine, port->baud);
    return reported;
}

int ReadBytes(SerialPort* port, void* buffer, int count)
{
    if (port->open != 1 || count <= 0)
        return 0;
    fake::FakeState& s = State();
    ++s.platformCalls;
    const uint32_t startMs = s.nowMs;
    auto arrivedBy = [](uint32_t atMs, uint32_t limitMs) { return static_cast<int32_t>(atMs - limitMs) <= 0; };
    if (s.incoming.empty() || !arrivedBy(s.incoming.front().atMs, startMs + kFirstByteWaitMs)) {
        s.nowMs = startMs + kFirstByteWaitMs;
        return 0;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int got = 0;
    uint32_t lastMs = startMs;
    while (got < count && !s.incoming.empty()) {
        const fake::Incoming next = s.incoming.front();
        const uint32_t arrival = arrivedBy(next.atMs, startMs) ? startMs : next.atMs;
        if (got > 0 && !arrivedBy(arrival, lastMs + kByteGapMs))
            break;
        out[got++] = next.value;
        lastMs = arrivedBy(arrival, lastMs) ? lastMs : arrival;
        s.incoming.pop_front();
    }
    s.nowMs = got == count ? lastMs : lastMs + kByteGapMs + 1;
    return got;
}

int BytesAvailable(SerialPort* port)
{
    if (port->open != 1)
        return 0;
    fake::FakeState& s = State();
    ++s.platformCalls;
    int waiting = 0;
    for (const fake::Incoming& b : s.incoming) {
        if (static_cast<int32_t>(b.atMs - s.nowMs) > 0)
            break;
        ++waiting;
    }
    return waiting + s.overstate;
}

uint32_t ClockNow()
{
    return State().nowMs;
}

void PauseMs(int durationMs)
{
    if (durationMs > 0)
        State().nowMs += static_cast<uint32_t>(durationMs);
}

// --- console backend ---------------------------------------------------------

void ConsoleStart() {}

void Print(const char* format, ...)
{
    char text[4096];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0)
        State().output.append(text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

int KeyWaiting()
{
    return State().keys.empty() ? 0 : 1;
}

int ReadKey()
{
    fake::FakeState& s = State();
    if (s.keys.empty())
        return kNoMoreKeys;
    const int key = s.keys.front();
    s.keys.pop_front();
    return key;
}

void EndProcess(int status)
{
    throw fake::ProcessEnded{status};
}
