#include "supervisor/reaper.h"

#include "bootdata/upgrade.h"
#include "supervisor/exit_policy.h"
#include "supervisor/launcher.h"
#include "util/run_log.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

int format_exit_event(char* buf, size_t size, const char* time_text, const char* name, int code,
                      int exited)
{
    const char* format = exited == 1 ? "%s: %s exited normally with code(%d)\n"
                                     : "%s: %s killed by signal(%d)\n";
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

pid_t wait_any_child(int* status)
{
    for (;;) {
        pid_t pid = waitpid(-1, status, 0);
        if (pid >= 0 || errno != EINTR)
            return pid;
    }
}

} // namespace

int reap_children(SupervisorState* state, int* restart_code)
{
    int code = 0;
    int exited = 0;
    for (;;) {
        int status = 0;
        pid_t pid = wait_any_child(&status);
        if (pid < 0) {
            std::puts("failed to waitpid");
            return -1;
        }
        int index = decode_wait_status(pid, status, state, &code, &exited);
        if (index >= state->process_count || index >= MAX_PROCESSES)
            continue;

        WatchedProcess& slot = state->processes[index];
        log_exit_event(code, exited, slot.name, state->run_fd);
        if (code == 9 && slot.watchdog_killed != 0)
            code = RESTART_CODE_WATCHDOG;
        slot.watchdog_killed = 0;
        slot.pid = 0;

        if (exited == 1)
            *restart_code = code;
        switch (exit_action(code, exited)) {
        case ExitAction::failed_boot:
            return -1;
        case ExitAction::upgrade:
            apply_upgrade_package(code);
            return 0;
        case ExitAction::restart_all:
            return 0;
        case ExitAction::restart_one:
            break;
        }

        unsigned int delay = NORMAL_RESTART_DELAY;
        if (exited == 0 && code == 11) {
            delay = segv_restart_delay(state);
            std::printf("Will restart segv prog after %d secs\n", static_cast<int>(delay));
        } else {
            std::printf("Will restart normal prog after %d secs\n", static_cast<int>(delay));
        }
        // No handler is installed for any signal, so nothing cuts this short.
        sleep(delay);
        start_process(state, index, code);
        if (slot.pid < 0)
            return -1;
    }
}
