// Port scan; contract in port_scan.h.
#include "app/port_scan.h"

#include "app/console.h"
#include "app/program.h"
#include "serial/serial.h"

int32_t ScanPorts(int32_t firstPort, int32_t lastPort)
{
    for (int32_t port = firstPort; port <= lastPort; ++port) {
        Print("\nCOM%u: ", static_cast<unsigned>(port));
        if (!OpenPort(&gSerialPort, static_cast<unsigned>(port), 19200)) {
            Print("Could not open port.");
            continue;
        }
        DrainInput();
        Print("No Tolvex devices detected.");
        ClosePort(&gSerialPort);
    }
    Print("\n\nNo updatable Tolvex devices found.\n");
    ExitProgram(1);
}
