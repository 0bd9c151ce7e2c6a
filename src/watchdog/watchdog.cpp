#include "watchdog/watchdog.h"

#include "supervisor/plugin_kill.h"
#include "supervisor/state_file.h"
#include "util/run_log.h"
#include "util/shared_texts.h"
#include "util/stack_pages.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {

bool slot_has_alive_file(const WatchedProcess& slot)
{
    return slot.alive_path[0] != '\0';
}

void kill_silent_worker(SupervisorState* state, WatchedProcess& slot, pid_t pid)
{
    slot.miss_count = 0;
    // A slot that holds another pid by now holds a healthy successor (the
    // silent worker ended and was restarted meanwhile): nothing is done.
    if (slot.pid != pid)
        return;
    // The notice is written outside the slot lock, which the reaping loop
    // takes at every end: a cut of the run file must not hold it up.
    std::array<char, 8192> text;
    int n = std::snprintf(text.data(), text.size(), NOTICE_LINE_FORMAT, slot.name);
    if (n > 0)
        write_run_log(state->run_fd, text.data(), std::strlen(text.data()));
    // Signalled and marked only while the slot still holds the pid: the
    // reaping loop takes an ended worker's pid out of its slot under the same
    // lock before collecting it, so this is always an uncollected child of
    // ours, never a number given to another process since. Marked before the
    // kill, so that the reaping loop always sees the mark of the kill it
    // collects. By pid as well as by name: a worker that exec'd a program of
    // another name, or runs under an interpreter, is invisible to the name.
    pthread_mutex_lock(&state->slot_lock);
    bool ours = slot.pid == pid;
    if (ours) {
        slot.watchdog_killed = 1;
        kill(pid, SIGKILL);
    }
    pthread_mutex_unlock(&state->slot_lock);
    const char* name = slot.name;
    if (ours)
        kill_plugin_processes(&name, 1);
}

} // namespace

bool check_alive_sweep(SupervisorState* state)
{
    bool changed = false;
    for (int i = 0; i < state->process_count && i < MAX_PROCESSES; ++i) {
        WatchedProcess& slot = state->processes[i];
        pid_t pid = slot.pid;
        if (pid <= 0 || !slot_has_alive_file(slot))
            continue;
        if (access(slot.alive_path, F_OK) == 0) {
            unlink(slot.alive_path);
            if (slot.miss_count.exchange(0) != 0)
                changed = true;
            continue;
        }
        changed = true;
        if (++slot.miss_count > ALIVE_MISS_LIMIT)
            kill_silent_worker(state, slot, pid);
    }
    return changed;
}

void* check_alive(void* arg)
{
    auto* state = static_cast<SupervisorState*>(arg);
    uintptr_t bottom = thread_stack_bottom();
    for (;;) {
        sleep(ALIVE_CHECK_PERIOD);
        if (check_alive_sweep(state))
            publish_state(state);
        // A kill's notice, cut and shell command took some pages of stack;
        // they are not needed until the next kill.
        release_stack_below(bottom);
    }
    return nullptr;
}

void start_watchdog(SupervisorState* state)
{
    bool needed = false;
    for (int i = 0; i < state->process_count && i < MAX_PROCESSES; ++i)
        needed = needed || slot_has_alive_file(state->processes[i]);
    if (!needed)
        return;
    // A small stack of a stated size: the deepest sweep (a kill with its
    // notice, a cut of the run file and a shell command) needs some 20 KiB.
    pthread_attr_t attr;
    pthread_attr_t* attrs = nullptr;
    if (pthread_attr_init(&attr) == 0) {
        attrs = &attr;
        pthread_attr_setstacksize(&attr, WATCHDOG_STACK_SIZE);
    }
    pthread_t thread;
    int created = pthread_create(&thread, attrs, check_alive, state);
    if (attrs != nullptr)
        pthread_attr_destroy(&attr);
    if (created != 0) {
        static const char message[] = "create pthread check_alive failed\n";
        write_run_log(state->run_fd, message, sizeof message - 1);
        return;
    }
    pthread_detach(thread);
}
