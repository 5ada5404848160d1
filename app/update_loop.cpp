// The update loop; contract in update_loop.h.
#include "app/update_loop.h"

#include "app/program.h"

void RunUpdateLoop(int32_t)
{
    ExitProgram(1);
}
