// COM numbers on a system that has no COM names (Linux and other POSIX
// systems). Port number n, counted from 1, names a device path:
//
// - When the environment variable TLXUP_PORTS is set, it is a list of
//   device paths separated by ":"; COM1 is its first entry, COM2 its second
//   and so on. An empty entry, or a number past the end of the list, is a
//   port that does not exist.
// - Otherwise the serial ports present count, in this order: /dev/ttyUSB*,
//   then /dev/ttyACM* (each in numeric order), then /dev/ttyS* and
//   /dev/ttyAMA* that have hardware behind them (a sysfs "device" link whose
//   subsystem, for ttyS, is not "platform": those are placeholders).
#pragma once

// Longest device path the mapping hands out, NUL included.
constexpr int kPortPathCapacity = 256;

// Entry `portNumber` (1-based) of the colon-separated `list`, copied into
// `path` (`capacity` bytes, NUL-terminated). Returns 1 when there is such
// an entry and it is not empty and fits; 0 otherwise.
int PortPathFromList(const char* list, unsigned portNumber, char* path, int capacity);

// Up to `capacity` port paths of the system, in COM order, written into
// `paths` (each kPortPathCapacity bytes), looking for devices in `devDir`
// (normally "/dev") and their sysfs entries in `sysClassTtyDir` (normally
// "/sys/class/tty"). Returns the number of paths written.
int ListSystemPorts(const char* devDir, const char* sysClassTtyDir,
                    char (*paths)[kPortPathCapacity], int capacity);

// The device path of COM`portNumber` by the rules above, into `path`.
// Returns 1 when the port exists in the mapping, 0 when it does not.
// The system's port list is gathered once, at the first call.
int PortDevicePath(unsigned portNumber, char* path, int capacity);
