// Application messages and the version query; see app_messages.h.
#include "protocol/app_messages.h"

#include "firmware/model_table.h"
#include "protocol/numbers.h"
#include "serial/serial.h"

#include <cstring>

namespace {

// The most characters of a product name in a version reply.
constexpr int kReplyNameLimit = 31;

// One character on, except at the terminating NUL, where it stays.
const char* Advance(const char* p)
{
    return *p != '\0' ? p + 1 : p;
}

}  // namespace

int ReadMessage(char* buffer, int capacity)
{
    if (capacity < 2) {
        if (capacity == 1)
            buffer[0] = '\0';
        return 1;
    }
    int count = 0;
    for (;;) {
        unsigned char byte = 0;
        if (ReadWithDeadline(&gSerialPort, &byte, 1, kMessageByteBudgetMs) != 1)
            return 1;
        if (byte == '^') {
            count = 0;
            continue;
        }
        buffer[count++] = static_cast<char>(byte);
        if (byte == '$' || count == capacity - 1) {
            buffer[count] = '\0';
            return 0;
        }
    }
}

int ParseVersionReply(DeviceInfo* record, const char* text)
{
    if (text[0] != '=' || text[1] != 'V' || text[2] != ' ' || text[3] != '"')
        return 1;
    const char* p = text + 4;

    int copied = 0;
    while (*p != '\0' && *p != '"' && copied < kReplyNameLimit)
        record->productName[copied++] = *p++;
    record->productName[copied] = '\0';
    if (*p != '"')
        return 2;
    p = Advance(Advance(p));    // the quote and the character after it

    // Each component is added in 32 bits: one too large for its byte
    // carries into the bytes above it.
    const uint32_t major = ReadUnsigned32(p, &p, 10);
    record->version = major << 24;
    p = Advance(p);
    const uint32_t minor = ReadUnsigned32(p, &p, 10);
    record->version += minor << 16;
    if (*p == '.') {
        p = Advance(p);
        const uint32_t beta = ReadUnsigned32(p, &p, 10);
        record->version += beta << 8;
    }
    if (*p >= 'a' && *p <= 'z') {
        record->version += static_cast<uint32_t>(*p - 'a' + 1);
        p = Advance(p);
    }
    if (*p == '(') {
        p = Advance(p);
        while (*p != ')' && *p != '\0')
            ++p;
        p = Advance(p);
    }
    if (*p == ',') {
        p = Advance(p);
        record->familyCode = static_cast<uint16_t>(ReadUnsigned32(p, &p, 10) & 0xFFFFu);
        p = Advance(p);
        record->pcbRevision = static_cast<uint16_t>(ReadUnsigned32(p, &p, 10) & 0xFFFFu);
        p = Advance(p);
        record->optionWord = ReadUnsigned32(p, &p, 16);
    } else {
        record->familyCode = kDefaultFamilyCode;
        record->pcbRevision = kDefaultPcbRevision;
        record->optionWord = kNoOptionWord;
    }
    if (*p != '$')
        return 3;

    if (record->productName[0] != '\0')
        record->modelName = record->productName;
    else
        record->modelName = LookupModelName(record->familyCode, record->pcbRevision);
    return 0;
}

int QueryVersion(DeviceInfo* record, int listenOnly)
{
    if (listenOnly == 0)
        WriteBytes(&gSerialPort, kVersionCommand, kVersionCommandLength);

    record->familyCode = 0;
    record->pcbRevision = 0;
    record->version = 0;
    record->optionWord = kNoOptionWord;
    std::memset(record->productName, 0, sizeof record->productName);

    char text[kVersionMessageSize];
    for (;;) {
        if (ReadMessage(text, kVersionMessageSize) != 0)
            return 1;
        if (std::strcmp(text, "$") != 0 && std::strcmp(text, "+$") != 0)
            return ParseVersionReply(record, text);
    }
}
