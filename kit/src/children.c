/* Child processes of a worker that end with it. */
#include "plugwatch/worker.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

int pw_end_with_parent(pid_t parent)
{
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0)
        return -1;
    /* A worker gone before the request took effect would never send it. */
    return getppid() == parent ? 0 : -1;
}
