// Device detection and the return to the application; see detect.h.
#include "protocol/detect.h"

#include "firmware/model_table.h"
#include "protocol/app_messages.h"
#include "protocol/boot_packets.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

#include <cstring>

namespace {

// Budget of the reset packet; it is sent without waiting for an
// acknowledgement, so the budget is not used.
constexpr int kResetBudgetMs = 500;
// Pause after the reset before the rate goes back to 19200.
constexpr int kResetPauseMs = 10;

// Switches the port and records the outcome in currentBaud.
bool SwitchBaud(int baud)
{
    if (SetBaudRate(&gSerialPort, baud) != 1) {
        gUpdateState.currentBaud = 0;
        return false;
    }
    gUpdateState.currentBaud = static_cast<uint32_t>(baud);
    return true;
}

void TakeBootLoaderIdentity()
{
    gDeviceInfo.version = BootInfoVersion(gBootInfo);
    gDeviceInfo.familyCode = BootInfoFamilyCode(gBootInfo);
    gDeviceInfo.pcbRevision = BootInfoPcbRevision(gBootInfo);
    // All 33 bytes: after an older-layout reply they may hold no NUL.
    std::memcpy(gDeviceInfo.productName, BootInfoProductName(gBootInfo), kProductNameSize);
    if (gDeviceInfo.productName[0] != '\0')
        gDeviceInfo.modelName = gDeviceInfo.productName;
    else
        gDeviceInfo.modelName = LookupModelName(gDeviceInfo.familyCode, gDeviceInfo.pcbRevision);
}

}  // namespace

int DetectDevice()
{
    gUpdateState.detectMode = kDetectNone;
    if (gUpdateState.currentBaud == 0)
        return 1;
    if (gUpdateState.currentBaud != static_cast<uint32_t>(kApplicationBaud) && !SwitchBaud(kApplicationBaud))
        return 3;
    DrainInput();
    if (QueryVersion(&gDeviceInfo, 0) == 0) {
        gUpdateState.detectMode = kDetectApplication;
        return 0;
    }

    if (!SwitchBaud(kBootLoaderBaud))
        return 4;
    FlushWithZeros();
    if (QueryBootInfo(&gBootInfo) == 0) {
        gUpdateState.detectMode = kDetectBootLoader;
        TakeBootLoaderIdentity();
        return 0;
    }

    if (!SwitchBaud(kApplicationBaud))
        return 5;
    gUpdateState.detectMode = kDetectNone;
    return 6;
}

void ReturnToApplication()
{
    if (gUpdateState.detectMode != kDetectBootLoader)
        return;
    TxBuffer[0] = kCommandReset;
    SendPacket(TxBuffer, 1, 0, kResetBudgetMs);
    PauseMs(kResetPauseMs);
    SetBaudRate(&gSerialPort, kApplicationBaud);
    gUpdateState.currentBaud = kApplicationBaud;
    QueryVersion(&gDeviceInfo, 1);
}
