// Port scan: finds the first port of a range with a device that one of the
// catalogue's images fits.
#pragma once

#include <cstdint>

// Tries COM`firstPort` up to COM`lastPort` (inclusive, ascending), one line
// on the screen each, and stops at the first port whose device has the
// family code and PCB revision of a catalogue image. Returns that port's
// number with the port open at the rate detection left it at
// (gUpdateState.currentBaud), gUpdateState.detectMode and gDeviceInfo
// describing the device, and gUpdateState.selectedImage the image. Ports
// above it are not opened. When no port qualifies, writes
// "\n\nNo updatable Tolvex devices found.\n" and ends through ExitProgram(1).
int32_t ScanPorts(int32_t firstPort, int32_t lastPort);
