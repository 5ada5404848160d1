// Fuzzing the boot loader side: arbitrary bytes as the device's answers to
// a received packet, a command, or the information query. The first input
// byte picks the operation and the capacity.
#include "fake.h"
#include "protocol/boot_packets.h"
#include "serial/serial.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    fake::Reset();
    if (OpenPort(&gSerialPort, 1, 115200) != 1)
        std::abort();
    fake::Deliver(std::vector<uint8_t>(data + 1, data + size));
    const uint8_t selector = data[0];
    switch (selector % 3) {
    case 0: {
        // A destination with guard bytes on both sides of its capacity.
        const uint8_t capacity = static_cast<uint8_t>(selector / 3);
        std::vector<uint8_t> buffer(capacity + 32u, 0xA5);
        uint8_t length = capacity;
        const int status = ReceivePacket(buffer.data() + 16, &length, 2000);
        const bool known = status == 0 || status == 1 || (status >= 6 && status <= 9);
        if (!known || length > capacity)
            std::abort();
        for (int i = 0; i < 16; ++i)
            if (buffer[i] != 0xA5 || buffer[16 + capacity + i] != 0xA5)
                std::abort();
        break;
    }
    case 1: {
        const unsigned char command[] = {kCommandSendData, 1, 2, 3};
        const int result = RunCommand(command, sizeof command, 2000);
        if (result < 0 || result > 5)
            std::abort();
        break;
    }
    default: {
        const int result = QueryBootInfo(&gBootInfo);
        if (result < 0 || result > 2)
            std::abort();
        break;
    }
    }
    return 0;
}
