// Fuzzing the application side: arbitrary bytes as the device's answer to
// the version query, and arbitrary text for the version reply parser.
#include "fake.h"
#include "protocol/app_messages.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fake::Reset();
    if (OpenPort(&gSerialPort, 1, 19200) != 1)
        std::abort();
    fake::Deliver(std::vector<uint8_t>(data, data + size));
    const int result = QueryVersion(&gDeviceInfo, size % 2);
    if (result < 0 || result > 3)
        std::abort();
    // Whatever came, the product name stays inside its 33 bytes.
    if (std::memchr(gDeviceInfo.productName, '\0', kProductNameSize) == nullptr)
        std::abort();

    std::vector<char> text(data, data + size);
    text.push_back('\0');
    DeviceInfo info = {};
    const int parsed = ParseVersionReply(&info, text.data());
    if (parsed < 0 || parsed > 3)
        std::abort();
    if (parsed == 0 && info.modelName != nullptr && info.modelName == info.productName && info.productName[0] == '\0')
        std::abort();
    return 0;
}
