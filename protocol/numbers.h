// Numbers in the command line and in device messages, read by the rules of
// the standard strtoul (unsigned) and strtol (signed) on a platform whose
// long has 32 bits, whatever the width of long here:
//
// white space is skipped; an optional "+" or "-" follows; then the longest
// run of digits of the base (base 16 also takes a leading "0x" or "0X").
// The end position is the first character after the digits. When there are
// no digits the value is 0 and the end position is the start of the text.
#pragma once

#include <cstdint>

// strtoul rule: a value above 4294967295 reads as 4294967295, sign or no
// sign; otherwise a "-" negates the value modulo 2^32. `base` is 10 or 16.
// `end` (may be null) receives the position after the number. `text` must
// be NUL-terminated.
uint32_t ReadUnsigned32(const char* text, const char** end, int base);

// strtol rule, base 10: a value beyond the signed 32-bit range reads as
// 2147483647 or -2147483648.
int32_t ReadSigned32(const char* text, const char** end);
