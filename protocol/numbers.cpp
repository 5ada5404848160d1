// Number reading of device messages and the command line; rules in
// numbers.h.
#include "protocol/numbers.h"

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(char c, int base)
{
    int value = 36;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'z')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// Reads sign and digits. `magnitude` saturates at `limit` + 1 (it only has
// to tell "in range" from "beyond"). Returns false when there are no digits.
bool ReadMagnitude(const char* text, const char** end, int base, uint64_t limit,
                   bool* negative, uint64_t* magnitude)
{
    const char* p = text;
    while (IsSpace(*p))
        ++p;
    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = *p == '-';
        ++p;
    }
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0)
        p += 2;
    if (DigitValue(*p, base) < 0) {
        if (end)
            *end = text;
        return false;
    }
    uint64_t value = 0;
    for (int digit; (digit = DigitValue(*p, base)) >= 0; ++p) {
        if (value <= limit)
            value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (end)
        *end = p;
    *magnitude = value > limit ? limit + 1 : value;
    return true;
}

}  // namespace

uint32_t ReadUnsigned32(const char* text, const char** end, int base)
{
    bool negative = false;
    uint64_t magnitude = 0;
    if (!ReadMagnitude(text, end, base, 0xFFFFFFFFu, &negative, &magnitude))
        return 0;
    if (magnitude > 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

int32_t ReadSigned32(const char* text, const char** end)
{
    bool negative = false;
    uint64_t magnitude = 0;
    if (!ReadMagnitude(text, end, 10, 0x80000000u, &negative, &magnitude))
        return 0;
    if (negative)
        return magnitude >= 0x80000000u ? INT32_MIN : -static_cast<int32_t>(magnitude);
    return magnitude > 0x7FFFFFFFu ? INT32_MAX : static_cast<int32_t>(magnitude);
}
