// plugwatch: keeps the worker programs of one plug-in running.
#include "main/startup.h"
#include "supervisor/launcher.h"

#include <cstdio>

namespace {

// Zero-filled for the life of the process; static storage keeps the large
// record off the stack.
SupervisorState g_state;

} // namespace

int main(int argc, char** argv)
{
    ignore_broken_console();
    // Line-buffered even into a file or pipe, so every message arrives at
    // once and none is lost when the supervisor is killed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return run_supervisor(argc, argv, &g_state);
}
