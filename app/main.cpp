// tlxup: firmware update utility for Tolvex devices.
#include "app/console.h"
#include "app/program.h"

int main(int argc, char** argv)
{
    ConsoleStart();
    ProgramMain(argc, argv);
}
