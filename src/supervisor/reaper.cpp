#include "supervisor/reaper.h"

#include "bootdata/upgrade.h"
#include "supervisor/exit_policy.h"
#include "supervisor/launcher.h"
#include "supervisor/state_file.h"
#include "util/run_log.h"
#include "util/shared_texts.h"
#include "util/stack_pages.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

int format_exit_event(char* buf, size_t size, const char* time_text, const char* name, int code,
                      int exited)
{
    const char* format = exited == 1 ? EXIT_LINE_FORMAT : SIGNAL_LINE_FORMAT;
    int n = std::snprintf(buf, size, format, time_text, name, code);
    return n >= 0 && static_cast<size_t>(n) < size ? n : -1;
}

void log_exit_event(int code, int exited, const char* name, int run_fd)
{
    std::array<char, 64> time_text = local_time_text();
    // A name holds at most 4095 characters, so the whole line always fits.
    std::array<char, PATH_TEXT_SIZE + 256> line;
    int n = format_exit_event(line.data(), line.size(), time_text.data(), name, code, exited);
    if (n > 0)
        write_run_log(run_fd, line.data(), static_cast<size_t>(n));
}

namespace {

// Waits until some child has ended, without collecting it: until it is
// collected, its pid cannot be given to another process.
pid_t wait_for_end()
{
    for (;;) {
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) == 0)
            return info.si_pid;
        if (errno != EINTR)
            return -1;
    }
}

pid_t collect(pid_t pid, int* status)
{
    for (;;) {
        pid_t got = waitpid(pid, status, 0);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

// Takes the ended child's pid out of its slot before the child is collected,
// under the lock the watchdog holds from reading a pid to its kill. Returns
// the slot's index, or -1 for a child of no slot; *marked tells whether the
// watchdog killed that worker.
int release_slot(SupervisorState* state, pid_t pid, bool* marked)
{
    pthread_mutex_lock(&state->slot_lock);
    int index = find_slot(pid, state);
    if (index >= state->process_count || index >= MAX_PROCESSES) {
        index = -1;
    } else {
        WatchedProcess& slot = state->processes[index];
        *marked = slot.watchdog_killed.exchange(0) != 0;
        slot.pid = 0;
    }
    pthread_mutex_unlock(&state->slot_lock);
    return index;
}

// Installs the package for code: the plug-in's own package when there is
// one, else the shared one if it can be ours. Never inlined: its path buffer
// would deepen the reaping loop's frame, and every wait would then keep one
// more page of stack resident.
__attribute__((noinline)) InstallOutcome install_package(SupervisorState* state, int code)
{
    std::array<char, PATH_TEXT_SIZE + 32> own;
    std::array<char, REFUSAL_TEXT_SIZE> refusal{};
    const char* workers[MAX_PROCESSES] = {};
    PackageOwner owner{nullptr, workers, 0, refusal.data(), refusal.size()};
    if (beside_run_file(state->run_file_path, PACKAGE_FILE_SUFFIX, own.data(), own.size()))
        owner.own_path = own.data();
    for (int i = 0; i < state->process_count && i < MAX_PROCESSES; ++i)
        workers[owner.count++] = state->processes[i].name;
    InstallOutcome outcome = apply_upgrade_package(code, state->run_fd, &owner);
    if (refusal[0] != '\0')
        note_refusal(state, refusal.data());
    return outcome;
}

} // namespace

int reap_children(SupervisorState* state, int* restart_code)
{
    int code = 0;
    int exited = 0;
    release_main_stack();
    for (;;) {
        int status = 0;
        pid_t pid = wait_for_end();
        if (pid <= 0) {
            std::puts("failed to waitpid");
            return -1;
        }
        bool marked = false;
        int index = release_slot(state, pid, &marked);
        if (collect(pid, &status) < 0) {
            // A child of no slot was collected by someone else already.
            if (index < 0)
                continue;
            std::puts("failed to waitpid");
            return -1;
        }
        if (index < 0) {
            // A worker a pass killed.
            std::printf("No such pid(%d) for reexec\n", static_cast<int>(pid));
            continue;
        }

        WatchedProcess& slot = state->processes[index];
        decode_status(status, &code, &exited);
        log_exit_event(code, exited, slot.name, state->run_fd);
        EndHow how = exited == 1 ? EndHow::exit : code == 9 && marked ? EndHow::watchdog : EndHow::signal;
        note_end(state, index, code, how, exited == 1 ? code : *restart_code);
        if (how == EndHow::watchdog)
            code = RESTART_CODE_WATCHDOG;

        if (exited == 1)
            *restart_code = code;
        switch (exit_action(code, exited)) {
        case ExitAction::failed_boot:
            publish_state(state);
            return -1;
        case ExitAction::upgrade:
            note_install(state, code, InstallOutcome::running);
            publish_state(state);
            note_install(state, code, install_package(state, code));
            publish_state(state);
            return 0;
        case ExitAction::restart_all:
            publish_state(state);
            return 0;
        case ExitAction::restart_one:
            break;
        }

        bool segv = exited == 0 && code == 11;
        unsigned int delay = segv ? segv_restart_delay(state) : NORMAL_RESTART_DELAY;
        std::printf("Will restart %s prog after %d secs\n", segv ? "segv" : "normal", static_cast<int>(delay));
        note_delay(state, index, delay);
        publish_state(state);
        // No handler is installed for any signal, so nothing cuts this short.
        sleep(delay);
        start_process(state, index, code);
        note_start(state, index, code);
        publish_state(state);
        if (slot.pid < 0)
            return -1;
    }
}
