// Port scan; contract in port_scan.h.
#include "app/port_scan.h"

#include "app/console.h"
#include "app/program.h"
#include "firmware/image.h"
#include "protocol/detect.h"
#include "protocol/device_info.h"
#include "serial/serial.h"

namespace {

// The first catalogue image for the device's family code and PCB revision,
// in slot order; null when none fits. Empty slots never fit.
const unsigned char* FindImage(const DeviceInfo& device)
{
    for (const unsigned char* image : ImageCatalogue) {
        if (ImageTotalSize(image) != 0 && ImageFamilyCode(image) == device.familyCode &&
            ImagePcbRevision(image) == device.pcbRevision)
            return image;
    }
    return nullptr;
}

}  // namespace

int32_t ScanPorts(int32_t firstPort, int32_t lastPort)
{
    for (int32_t port = firstPort; port <= lastPort; ++port) {
        Print("\nCOM%u: ", static_cast<uint32_t>(port));
        if (!OpenPort(&gSerialPort, static_cast<unsigned>(port), kApplicationBaud)) {
            gUpdateState.currentBaud = 0;
            Print("Could not open port.");
            continue;
        }
        gUpdateState.currentBaud = kApplicationBaud;
        DrainInput();
        if (DetectDevice() != 0) {
            Print("No Tolvex devices detected.");
            ClosePort(&gSerialPort);
            continue;
        }
        gUpdateState.selectedImage = FindImage(gDeviceInfo);
        if (gUpdateState.selectedImage != nullptr) {
            Print("A Tolvex device compatible with this firmwware was found.");
            Print("\n");
            return port;
        }
        Print("A Tolvex device was found, but it does not match this firmware.");
        ClosePort(&gSerialPort);
    }
    Print("\n\nNo updatable Tolvex devices found.\n");
    ExitProgram(1);
}
