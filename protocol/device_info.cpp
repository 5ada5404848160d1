// The process-wide device and update records.
#include "protocol/device_info.h"

DeviceInfo gDeviceInfo = {};
UpdateState gUpdateState = {};

void CopyProductName(const char* name, char* out, int capacity)
{
    if (capacity <= 0)
        return;
    int length = 0;
    while (length < kProductNameSize && length < capacity - 1 && name[length] != '\0') {
        out[length] = name[length];
        ++length;
    }
    out[length] = '\0';
}
