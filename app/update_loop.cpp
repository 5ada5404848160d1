// The update loop; contract in update_loop.h.
#include "app/update_loop.h"

#include "app/console.h"
#include "app/monitor.h"
#include "app/program.h"
#include "firmware/compatibility.h"
#include "firmware/model_table.h"
#include "protocol/detect.h"
#include "protocol/device_info.h"
#include "serial/serial.h"
#include "update/confirm.h"
#include "update/flash.h"

namespace {

// Pause at the start of every tick.
constexpr int kTickMs = 1;
// After the download: the program ends once the device has been silent
// about its DSPs for longer than this.
constexpr uint32_t kProgressSilenceMs = 30000;

// Hands the bytes waiting at the port to the monitor, in order of arrival.
void FeedWaitingBytes()
{
    const int waiting = BytesAvailable(&gSerialPort);
    for (int i = 0; i < waiting; ++i) {
        uint8_t byte = 0;
        if (ReadBytes(&gSerialPort, &byte, 1) != 1)
            break;    // the count was stale: nothing more is there
        FeedMessageByte(byte);
    }
}

// One pass of the Updating phase, after the input has been served: detect,
// check, ask, download.
void UpdateTick(int32_t port)
{
    if (DetectDevice() != 0) {
        Print("\nNo Tolvex device found on COM%u.\n", static_cast<uint32_t>(port));
        ExitProgram(1);
    }
    if (LookupModelName(gDeviceInfo.familyCode, gDeviceInfo.pcbRevision) == nullptr) {
        char name[kProductNameSize + 1];
        CopyProductName(gDeviceInfo.productName, name, sizeof name);
        Print("\nThe device on COM%u not compatible with this update.\nProduct name: \"%s\"\n",
              static_cast<uint32_t>(port), name);
        ExitProgram(1);
    }
    const unsigned char* image = gUpdateState.selectedImage;
    const int code = CheckCompatibility(gDeviceInfo, image);
    if (code != 0) {
        // The same device would give the same answer on every tick: end here.
        ReportIncompatibility(code, gDeviceInfo, image);
        ExitProgram(1);
    }
    if (!ConfirmUpdate(gDeviceInfo, image, 1, 1, 1))
        return;
    gUpdateState.deviceReady = 0;
    if (FlashImage() == 0) {
        gUpdateState.updateDone = 1;
        gUpdateState.lastProgressTime = ClockNow();
    }
}

}  // namespace

void RunUpdateLoop(int32_t port)
{
    for (;;) {
        PauseMs(kTickMs);
        if (gUpdateState.updateDone &&
            (HasElapsed(gUpdateState.lastProgressTime, kProgressSilenceMs) || gUpdateState.deviceReady))
            ExitProgram(1);
        FeedWaitingBytes();
        if (KeyWaiting())
            ReadKey();    // no key has any effect here
        if (!gUpdateState.updateDone)
            UpdateTick(port);
    }
}
