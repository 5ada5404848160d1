// Fuzzing the post-update monitor with an arbitrary byte stream.
#include "app/monitor.h"
#include "fake.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fake::Reset();
    FeedMessageByte('^');
    for (size_t i = 0; i < size; ++i)
        FeedMessageByte(data[i]);
    if (MessageBuffer[kMessageBufferSize - 1] != '\0' && MessageBuffer[kMessageBufferSize - 1] != '$' &&
        size < kMessageBufferSize)
        std::abort();
    return 0;
}
