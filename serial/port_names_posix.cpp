// COM numbers to device paths on POSIX systems; the rules are in
// port_names.h.
#include "serial/port_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Families of serial devices, in the order in which they take COM numbers.
struct PortFamily {
    const char* prefix;
    bool needsHardware;    // only with a sysfs device link behind it
    bool skipPlatform;     // a "platform" device is a placeholder
};
constexpr PortFamily kPortFamilies[] = {
    {"ttyUSB", false, false},
    {"ttyACM", false, false},
    {"ttyS", true, true},
    {"ttyAMA", true, false},
};
// Highest device number looked for in each family.
constexpr int kMaxDeviceNumber = 255;
// COM numbers run from 1 to 99.
constexpr int kMaxPorts = 99;

bool PathExists(const char* path)
{
    struct stat info;
    return stat(path, &info) == 0;
}

bool HasHardware(const char* sysClassTtyDir, const char* name, bool skipPlatform)
{
    char link[kPortPathCapacity];
    if (std::snprintf(link, sizeof link, "%s/%s/device", sysClassTtyDir, name) >= static_cast<int>(sizeof link))
        return false;
    if (!PathExists(link))
        return false;
    if (!skipPlatform)
        return true;
    char subsystemLink[kPortPathCapacity];
    if (std::snprintf(subsystemLink, sizeof subsystemLink, "%s/subsystem", link) >= static_cast<int>(sizeof subsystemLink))
        return false;
    char target[kPortPathCapacity];
    const ssize_t length = readlink(subsystemLink, target, sizeof target - 1);
    if (length <= 0)
        return true;
    target[length] = '\0';
    const char* base = std::strrchr(target, '/');
    base = base ? base + 1 : target;
    return std::strcmp(base, "platform") != 0;
}

}  // namespace

int PortPathFromList(const char* list, unsigned portNumber, char* path, int capacity)
{
    if (list == nullptr || portNumber == 0 || capacity <= 0)
        return 0;
    const char* entry = list;
    for (unsigned n = 1; n < portNumber; ++n) {
        entry = std::strchr(entry, ':');
        if (entry == nullptr)
            return 0;
        ++entry;
    }
    const char* end = std::strchr(entry, ':');
    const size_t length = end ? static_cast<size_t>(end - entry) : std::strlen(entry);
    if (length == 0 || length >= static_cast<size_t>(capacity))
        return 0;
    std::memcpy(path, entry, length);
    path[length] = '\0';
    return 1;
}

int ListSystemPorts(const char* devDir, const char* sysClassTtyDir,
                    char (*paths)[kPortPathCapacity], int capacity)
{
    int count = 0;
    for (const PortFamily& family : kPortFamilies) {
        for (int number = 0; number <= kMaxDeviceNumber && count < capacity; ++number) {
            char name[32];
            std::snprintf(name, sizeof name, "%s%d", family.prefix, number);
            char path[kPortPathCapacity];
            if (std::snprintf(path, sizeof path, "%s/%s", devDir, name) >= static_cast<int>(sizeof path))
                continue;
            if (!PathExists(path))
                continue;
            if (family.needsHardware && !HasHardware(sysClassTtyDir, name, family.skipPlatform))
                continue;
            std::memcpy(paths[count], path, sizeof path);
            ++count;
        }
    }
    return count;
}

int PortDevicePath(unsigned portNumber, char* path, int capacity)
{
    const char* list = std::getenv("TLXUP_PORTS");
    if (list != nullptr)
        return PortPathFromList(list, portNumber, path, capacity);

    static char systemPorts[kMaxPorts][kPortPathCapacity];
    static int systemPortCount = -1;
    if (systemPortCount < 0)
        systemPortCount = ListSystemPorts("/dev", "/sys/class/tty", systemPorts, kMaxPorts);
    if (portNumber == 0 || portNumber > static_cast<unsigned>(systemPortCount))
        return 0;
    const size_t length = std::strlen(systemPorts[portNumber - 1]);
    if (length >= static_cast<size_t>(capacity))
        return 0;
    std::memcpy(path, systemPorts[portNumber - 1], length + 1);
    return 1;
}
