// The version display and the user's confirmation before a download.
//
// Text form of a FirmwareVersion: "None" for 0; otherwise major "." minor
// ("%u.%02u"), then ".%02u" with the beta number when it is not 0, then one
// character 96 + letter (modulo 256: 1 gives "a") when the letter is not 0,
// then "(Beta)" when the beta number is not 0. Examples: "2.57", "2.57a",
// "2.57.03(Beta)", "10.01.02b(Beta)".
#pragma once

#include <cstdint>

#include "protocol/device_info.h"

// The width the display allows for the text form of `version`: 4 for 0;
// otherwise 4, plus 1 when the major number is above 9, plus 9 when the
// beta number is not 0, plus 1 when the letter is not 0. This is the text's
// length while major, minor and beta number are below 100 and the letter is
// at most 26; beyond that the text is longer than the width.
int32_t VersionTextWidth(FirmwareVersion version);

// Prints the text form of `version`, ",", and `pad` spaces (none when `pad`
// is 0 or less).
void PrintVersion(FirmwareVersion version, int32_t pad);

// Prints the two version lines, each after a line break and without one of
// its own:
//   "\n Current Version: " version "," pad "Model: " device model name
//   "\n Update Version:  " version "," pad "Model: " image modelName
// The pads put both "Model:" texts in one column: the narrower version gets
// the difference of the widths plus 1, the other 1. Model names are printed
// bounded at kProductNameSize bytes; a device without a model name shows an
// empty one.
void PrintVersions(const DeviceInfo& device, const unsigned char* image);

// Results of ConfirmUpdate.
enum ConfirmResult : int {
    kUpdateDeclined = 0,
    kUpdateConfirmed = 1,
};

// Compares the device's version with `image`'s (unsigned 32-bit) and
// prints the headline of the case (same, newer image, older image) and the
// version lines. When the case's flag is set it asks the case's question
// and waits for Y or N (either case; every other key, function keys
// included, is ignored without output), echoes the letter in upper case
// and a line break, and returns 1 for Y; for N it prints
// "\nUpdate cancelled.\n\n" and returns 0. When the flag is clear it prints
// "\n" and returns 1 for a newer image, 0 otherwise. Keys typed before the
// question count. When no key can come any more (standard input has ended)
// the program ends through ExitProgram(1); the function does not return.
int ConfirmUpdate(const DeviceInfo& device, const unsigned char* image, int askIfSame, int askIfNewer,
                  int askIfOlder);
