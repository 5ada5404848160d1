// Device detection: which side of the device answers on the open port,
// its application (messages at 19200 baud) or its boot loader (packets at
// 115200 baud), and the way back from the boot loader to the application.
//
// Both operations use the one gSerialPort and the process-wide
// gUpdateState, gDeviceInfo and gBootInfo. Nothing here prints.
#pragma once

// Asks the application first (version query at 19200 baud) and the boot
// loader second (256 zero bytes, then the information command at 115200
// baud), and fills gDeviceInfo from whichever answers. Sets
// gUpdateState.detectMode to kDetectNone on entry and records every rate
// change in gUpdateState.currentBaud: the new rate on success, 0 on
// failure (the port has then been closed). Result:
//   0  a device answered; detectMode is kDetectApplication (port at 19200)
//      or kDetectBootLoader (port at 115200), gDeviceInfo describes it
//   1  no rate is in force (currentBaud 0); nothing was sent
//   3  switching the port to 19200 baud failed; currentBaud 0
//   4  switching to 115200 baud for the boot loader probe failed;
//      currentBaud 0
//   5  switching back to 19200 baud after an unanswered boot loader probe
//      failed; currentBaud 0
//   6  neither side answered; the port is back at 19200 baud
int DetectDevice();

// After a download: when detectMode is kDetectBootLoader, sends the reset
// command (no acknowledgement awaited), pauses 10 ms, switches the port to
// 19200 baud (currentBaud 19200) and waits for the restarted application's
// own version message, which refreshes gDeviceInfo. Otherwise does nothing.
// detectMode is left as it is; nothing is reported.
void ReturnToApplication();
