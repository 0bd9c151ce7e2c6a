#include "supervisor/cycle.h"

#include "bootdata/boot_record.h"
#include "supervisor/launcher.h"
#include "supervisor/plugin_kill.h"
#include "supervisor/reaper.h"
#include "supervisor/state_file.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <pthread.h>

void kill_all_processes(SupervisorState* state)
{
    const char* names[MAX_PROCESSES] = {};
    int count = 0;
    for (int i = 0; i < state->process_count && i < MAX_PROCESSES; ++i) {
        // The slot's own process is killed by pid too: its name may not be
        // the one the process runs under (an exec'd program, an interpreter).
        // A pid above 0 is a child not yet reaped, so it names no other process.
        // Taken out under the slot lock, so that a watchdog kill under way
        // finishes first and none marks the slot's next worker; a mark left
        // by a kill just before goes with the pid it was for.
        pthread_mutex_lock(&state->slot_lock);
        pid_t pid = state->processes[i].pid.exchange(0);
        if (pid > 0)
            state->processes[i].watchdog_killed = 0;
        pthread_mutex_unlock(&state->slot_lock);
        if (pid > 0)
            kill(pid, SIGKILL);
        names[count++] = state->processes[i].name;
    }
    kill_plugin_processes(names, count);
}

namespace {

// Starts every slot in order; false as soon as one start fails.
bool start_all(SupervisorState* state, int restart_code)
{
    bool started = true;
    for (int i = 0; started && i < state->process_count && i < MAX_PROCESSES; ++i) {
        start_process(state, i, restart_code);
        note_start(state, i, restart_code);
        started = state->processes[i].pid >= 0;
    }
    publish_state(state);
    return started;
}

} // namespace

void supervise(SupervisorState* state)
{
    int restart_code = 0;
    for (;;) {
        kill_all_processes(state);
        std::array<char, RECORD_VERSION_SIZE> outdated{};
        state->data_dir_mode = check_boot_record(state->run_fd, outdated.data(), outdated.size());
        note_pass(state, outdated.data());
        if (!start_all(state, restart_code))
            return;
        if (reap_children(state, &restart_code) >= 0)
            continue;
        if (clear_boot_record() != 1) {
            std::puts("failed for normal boot, exit");
            return;
        }
        std::puts("failed boot, then clean bootchk, and try again");
    }
}
