// Flash download: installs the selected catalogue image into the device on
// the open port.
#pragma once

// Pause after the command before the boot loader is asked.
constexpr int kBootLoaderStartMs = 1000;
// Information queries before the boot loader counts as silent.
constexpr int kBootLoaderTries = 3;
// Budget of every wait of a download command.
constexpr int kDownloadBudgetMs = 2000;

// Brings up the device's boot loader (unless detection found it: then the
// download starts at once at 115200 baud), sends the download start packet
// and one packet per image record, each checked with a status request,
// showing "\rUpdating firmware: %3u%% complete." before each record, and
// finally resets the device towards its application (ReturnToApplication).
// Preconditions: the port is open, the last DetectDevice succeeded and
// gUpdateState.selectedImage is set. Writes its progress and error lines.
//
// Result, and how each run leaves the device and gUpdateState:
//   0  every record was accepted; device reset; 19200 baud; detectMode
//      stays BootLoader
//   1  the download failed: boot loader silent (no reset sent), start
//      command failed (device left in its boot loader), or a record failed
//      (device reset); 19200 baud; detectMode None
int FlashImage();
