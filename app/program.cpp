// Program entry, command line and exit; contracts in program.h.
#include "app/program.h"

#include "app/console.h"
#include "app/port_scan.h"
#include "app/update_loop.h"
#include "protocol/numbers.h"
#include "serial/serial.h"

void PrintBanner()
{
    Print("Tolvex firmware update utility. Version 2.09");
    Print("\n%s\n", "Copyright (C) Tolvex Audio Systems. All rights reserved.");
}

int ReadCommandLine(int argc, const char* const* argv, int32_t* firstPort, int32_t* lastPort,
                    uint32_t* portValue)
{
    *portValue = 0;
    if (argc >= 3)
        return kCommandLineUsage;
    if (argc == 2)
        *portValue = ReadUnsigned32(argv[1], nullptr, 10);
    const int32_t port = static_cast<int32_t>(*portValue);
    if (port == 0) {
        *firstPort = 1;
        *lastPort = 16;
        return kCommandLineScan;
    }
    if (port >= 1 && port <= 99) {
        *firstPort = port;
        *lastPort = port;
        return kCommandLineScan;
    }
    return kCommandLineInvalidPort;
}

void ProgramMain(int argc, const char* const* argv)
{
    Print("\n");
    PrintBanner();
    int32_t firstPort = 0;
    int32_t lastPort = 0;
    uint32_t portValue = 0;
    switch (ReadCommandLine(argc, argv, &firstPort, &lastPort, &portValue)) {
    case kCommandLineUsage:
        Print("\nUse: TLXUP [x]\n");
        Print("\nWhere:");
        Print("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
        Print("\n          otherwise searches COM1 - COM16.");
        ExitProgram(1);
    case kCommandLineInvalidPort:
        Print("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
              portValue);
        ExitProgram(1);
    default:
        break;
    }
    const int32_t port = ScanPorts(firstPort, lastPort);
    RunUpdateLoop(port);
}

void ExitProgram(int32_t status)
{
    ClosePort(&gSerialPort);
    Print("\nPress any key to exit...");
    ReadKey();
    Print("\n");
    EndProcess(status);
}
