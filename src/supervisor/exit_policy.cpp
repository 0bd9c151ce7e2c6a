#include "supervisor/exit_policy.h"

#include <sys/wait.h>

void decode_status(int status, int* code, int* exited)
{
    *exited = 0;
    if (WIFEXITED(status)) {
        *code = WEXITSTATUS(status);
        *exited = 1;
    } else if (WIFSIGNALED(status)) {
        *code = WTERMSIG(status);
    }
}

int find_slot(pid_t pid, const SupervisorState* state)
{
    for (int i = 0; i < state->process_count && i < MAX_PROCESSES; ++i)
        if (state->processes[i].pid == pid)
            return i;
    return state->process_count;
}

ExitAction exit_action(int code, int exited)
{
    if (exited != 1)
        return ExitAction::restart_one;
    switch (code) {
    case EXIT_FAILED_BOOT:
        return ExitAction::failed_boot;
    case EXIT_UNPACK_UPGRADE:
    case EXIT_COPY_UPGRADE:
    case EXIT_DROP_UPGRADE:
        return ExitAction::upgrade;
    case EXIT_RESTART_ALL:
        return ExitAction::restart_all;
    default:
        return ExitAction::restart_one;
    }
}

unsigned int segv_delay_for_count(uint32_t count)
{
    return count <= 3 ? 600 * count - 540 : 7200;
}

unsigned int segv_restart_delay(SupervisorState* state)
{
    state->segv_restart_count += 1;
    return segv_delay_for_count(state->segv_restart_count);
}
