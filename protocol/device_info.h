// What is known of the device on the open port, and the state that the
// parts of an update share. Both records are process-wide and live as long
// as the process.
#pragma once

#include <cstdint>

// Capacity of a product name in DeviceInfo and BootInfo: text that ends at
// its first NUL, or at this many bytes when it has none.
constexpr int kProductNameSize = 33;

// Firmware version: major in bits 31-24, minor 23-16, beta number 15-8
// (0 for a release), revision letter 7-0 (0 none, 1 "a", 2 "b", ...).
// Versions compare as unsigned 32-bit numbers.
using FirmwareVersion = uint32_t;

struct DeviceInfo {
    uint16_t familyCode;
    uint16_t pcbRevision;
    uint32_t optionWord;         // last number of the version reply; not acted upon
    FirmwareVersion version;
    // The name messages show the device under: productName when that is not
    // empty, otherwise the ModelTable name; null when there is none. May
    // refer to this record's own productName, so the record is never copied.
    const char* modelName;
    char productName[kProductNameSize];    // may fill all 33 bytes without a NUL
};

// The one DeviceInfo of the process, for the device on the open port.
extern DeviceInfo gDeviceInfo;

// What answered at the last detection.
enum DetectMode : int {
    kDetectNone = 0,
    kDetectApplication = 1,    // the port runs at 19200 baud
    kDetectBootLoader = 2,     // the port runs at 115200 baud
};

// Baud rates of the two sides of the device.
constexpr int kApplicationBaud = 19200;
constexpr int kBootLoaderBaud = 115200;

struct UpdateState {
    uint32_t currentBaud;                 // rate the open port is set to; 0 when none is in force
    int detectMode;                       // a DetectMode
    const unsigned char* selectedImage;   // a catalogue image, or null
    int updateDone;                       // set once a download has succeeded, never cleared
    int deviceReady;                      // set by the ready message, cleared before each download
    uint32_t lastProgressTime;            // ClockNow at the download's end and at each DSP progress report
};

// The one UpdateState of the process; all zero at start.
extern UpdateState gUpdateState;

// Copies a product name of at most kProductNameSize bytes into `out`
// (`capacity` > kProductNameSize), stopping at its first NUL or at the
// 33rd byte, and terminates it. For printing a name that may lack its NUL.
void CopyProductName(const char* name, char* out, int capacity);
