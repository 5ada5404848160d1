// Whether a firmware image fits the device on the port, and the report
// when it does not. Both the device and the image must be products that
// the model table lists, with the same family code and PCB revision.
#pragma once

#include "protocol/device_info.h"

// Results of CheckCompatibility.
enum CompatibilityResult : int {
    kCompatible = 0,               // same family code and PCB revision, both listed
    kImageNotListed = 1,           // the table does not list the image's family code and PCB revision
    kDeviceNotListed = 2,          // the table does not list the device's family code and PCB revision
    kFamilyMismatch = 3,           // both listed, family codes differ
    kPcbRevisionMismatch = 4,      // same family code, PCB revisions differ
};

// Judges `image` (a catalogue image) against `device`. The tests run in
// this order and the first that applies decides: the device is not listed
// (its 16-bit values widened without sign): 2; the image's 32-bit fields
// are not listed: 1; family codes differ: 3; PCB revisions differ: 4;
// otherwise 0. Changes nothing, prints nothing.
int CheckCompatibility(const DeviceInfo& device, const unsigned char* image);

// Prints the report for a CheckCompatibility result 1 to 4, then the
// advice with the maker's support address. Prints nothing for any other
// `code`. Product and model names are printed bounded at
// kProductNameSize bytes, so a name without its NUL is safe.
void ReportIncompatibility(int code, const DeviceInfo& device, const unsigned char* image);
