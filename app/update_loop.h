// The update loop: the program's main loop, in ticks of a 1 ms pause.
#pragma once

#include <cstdint>

// Runs the update on the port that ScanPorts left open; `port` is only
// printed. Until a download has succeeded each tick detects the device,
// checks the selected image against it, shows both versions, asks, and on
// Y downloads; afterwards the ticks only pass the device's messages to the
// post-update monitor, until the ready message or more than 30000 ms
// without DSP progress. Never returns: every way out is ExitProgram(1).
[[noreturn]] void RunUpdateLoop(int32_t port);
