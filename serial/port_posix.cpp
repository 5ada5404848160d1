// Serial port backend for POSIX systems (termios).
//
// The port is a terminal device opened non-blocking; every wait is a
// poll() bounded on the monotonic clock. Exclusive use is taken twice:
// flock() keeps out other programs that lock (and a second tlxup, even one
// run by root), TIOCEXCL keeps out everything else that is not root.
//
// The driver's queues have fixed sizes here (the tty layer's buffers);
// there is nothing to request.
#include "serial/serial.h"

#include "app/console.h"
#include "serial/port_names.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <cerrno>
#include <chrono>

struct SerialPort {
    int handle;          // file descriptor; -1 while closed
    int open;            // 1 while the port is usable
    int baud;            // rate the line is set to, for the drain estimate
    int lowLatencySet;   // 1 when open switched the driver to low latency
};

SerialPort gSerialPort = {-1, 0, 0, 0};

namespace {

// Baud rates the program uses, with their termios codes.
struct BaudCode {
    int baud;
    speed_t code;
};
constexpr BaudCode kBaudCodes[] = {
    {9600, B9600},   {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool BaudToCode(int baud, speed_t* code)
{
    for (const BaudCode& entry : kBaudCodes) {
        if (entry.baud == baud) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

const auto kProgramStart = std::chrono::steady_clock::now();

int64_t MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - kProgramStart).count();
}

// Waits until `fd` is ready for `events` or `timeoutMs` have passed.
// Returns 1 ready, 0 timed out, -1 the device has gone or failed.
int WaitFor(int fd, short events, int timeoutMs)
{
    const int64_t deadline = MonotonicMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const int64_t left = deadline - MonotonicMs();
        struct pollfd entry = {fd, events, 0};
        const int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (ready == 0)
            return 0;
        if (entry.revents & events)
            return 1;
        return -1;    // POLLHUP, POLLERR or POLLNVAL without data
    }
}

#if defined(__linux__)
// A USB serial adapter holds received bytes back for its latency timer
// (16 ms on common chips) unless the driver asks for low latency; every
// packet waits for an answer, so that would double a download. Ports that
// know no such setting (a pseudo-terminal) refuse, which is fine.
int RequestLowLatency(int fd)
{
    struct serial_struct serial = {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
        return 0;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0 ? 1 : 0;
}

void RestoreLatency(int fd)
{
    struct serial_struct serial = {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
}
#else
int RequestLowLatency(int) { return 0; }
void RestoreLatency(int) {}
#endif

void CloseHandle(SerialPort* port)
{
    if (port->lowLatencySet)
        RestoreLatency(port->handle);
    port->lowLatencySet = 0;
    ioctl(port->handle, TIOCNXCL);
    close(port->handle);
    port->handle = -1;
    port->open = 0;
    port->baud = 0;
}

// Raw line: 8 data bits, no byte translated either way, no XON/XOFF, no
// RTS/CTS handshake (on this platform one flag covers both), modem status
// lines ignored. Parity and stop bits are left as found.
void MakeRaw(struct termios* settings)
{
    settings->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                                ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
    settings->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_cflag &= ~static_cast<tcflag_t>(CSIZE | CRTSCTS);
    settings->c_cflag |= CS8 | CREAD | CLOCAL;
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VTIME] = 0;
}

bool SetSpeed(int fd, struct termios* settings, speed_t code)
{
    if (cfsetispeed(settings, code) != 0 || cfsetospeed(settings, code) != 0)
        return false;
    if (tcsetattr(fd, TCSANOW, settings) != 0)
        return false;
    struct termios check;
    if (tcgetattr(fd, &check) != 0)
        return false;
    return cfgetospeed(&check) == code && (check.c_cflag & CSIZE) == CS8;
}

}  // namespace

int OpenPort(SerialPort* port, unsigned portNumber, int baud)
{
    if (port->open == 1) {
        Print("Com%d already open!\n", static_cast<int>(portNumber));
        return 1;
    }
    port->open = 0;
    char path[kPortPathCapacity];
    speed_t code;
    if (!PortDevicePath(portNumber, path, sizeof path) || !BaudToCode(baud, &code))
        return 0;
    int fd;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return 0;
    struct termios settings;
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 ||
        tcgetattr(fd, &settings) != 0) {
        close(fd);
        return 0;
    }
    MakeRaw(&settings);
    if (!SetSpeed(fd, &settings, code)) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return 0;
    }
    // DTR up; a pseudo-terminal has no modem lines and refuses, which is fine.
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &dtr);
    port->handle = fd;
    port->baud = baud;
    port->lowLatencySet = RequestLowLatency(fd);
    port->open = 1;
    return 1;
}

int SetBaudRate(SerialPort* port, int baud)
{
    if (port->open != 1 || port->handle < 0)
        return 0;
    struct termios settings;
    speed_t code;
    if (!BaudToCode(baud, &code) || tcgetattr(port->handle, &settings) != 0) {
        CloseHandle(port);
        return 0;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    settings.c_cflag |= CS8;
    if (!SetSpeed(port->handle, &settings, code)) {
        CloseHandle(port);
        return 0;
    }
    port->baud = baud;
    return 1;
}

int ClosePort(SerialPort* port)
{
    if (port->open == 1 && port->handle >= 0)
        CloseHandle(port);
    port->open = 0;
    port->handle = -1;
    return 1;
}

int WriteBytes(SerialPort* port, const void* bytes, int count)
{
    if (port->open != 1 || port->handle < 0 || count <= 0)
        return 0;
    const unsigned char* next = static_cast<const unsigned char*>(bytes);
    const int64_t deadline = MonotonicMs() + kTransferWaitMs;
    int written = 0;
    while (written < count) {
        const ssize_t n = write(port->handle, next + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(port->handle, POLLOUT, static_cast<int>(deadline - MonotonicMs())) == 1)
                continue;
        }
        tcflush(port->handle, TCOFLUSH);
        return 0;
    }
    // On the line: wait until the driver's output queue is empty. tcdrain()
    // has no bound, so the queue is watched instead, sleeping about as long
    // as the queued bytes take on the wire.
    for (;;) {
        int queued = 0;
        if (ioctl(port->handle, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return count;
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            tcflush(port->handle, TCOFLUSH);
            return 0;
        }
        int64_t waitMs = port->baud > 0 ? static_cast<int64_t>(queued) * 10000 / port->baud : 1;
        if (waitMs < 1)
            waitMs = 1;
        if (waitMs > left)
            waitMs = left;
        PauseMs(static_cast<int>(waitMs));
    }
}

int ReadBytes(SerialPort* port, void* buffer, int count)
{
    if (port->open != 1 || port->handle < 0 || count <= 0)
        return 0;
    unsigned char* next = static_cast<unsigned char*>(buffer);
    int got = 0;
    int waitMs = kFirstByteWaitMs;
    int64_t lastByteMs = 0;
    while (got < count) {
        if (got > 0)
            waitMs = static_cast<int>(lastByteMs + kByteGapMs + 1 - MonotonicMs());
        if (WaitFor(port->handle, POLLIN, waitMs) != 1)
            break;
        const ssize_t n = read(port->handle, next + got, static_cast<size_t>(count - got));
        if (n > 0) {
            got += static_cast<int>(n);
            lastByteMs = MonotonicMs();
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        break;    // end of file or an error: the device has gone
    }
    return got;
}

int BytesAvailable(SerialPort* port)
{
    if (port->open != 1 || port->handle < 0)
        return 0;
    int waiting = 0;
    if (ioctl(port->handle, FIONREAD, &waiting) != 0 || waiting < 0)
        return 0;
    return waiting;
}

uint32_t ClockNow()
{
    return static_cast<uint32_t>(MonotonicMs());
}

void PauseMs(int durationMs)
{
    if (durationMs <= 0)
        return;
    struct timespec left = {durationMs / 1000, static_cast<long>(durationMs % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
