// The reaping loop: collects ended workers, logs them and restarts them.
#pragma once

#include "supervisor/state.h"

#include <cstddef>

// Formats one exit-event line ("%s: %s exited normally with code(%d)\n" when
// exited is 1, else "%s: %s killed by signal(%d)\n") into buf. Returns the
// line's length, or -1 when it does not fit.
int format_exit_event(char* buf, size_t size, const char* time_text, const char* name, int code,
                      int exited);

// Appends the exit-event line for a worker's end to the run file, with the
// current local time in asctime form (without its newline).
void log_exit_event(int code, int exited, const char* name, int run_fd);

// Waits for workers to end and acts on each. Returns 0 when every worker is
// to be restarted (130 to 132, 160), -1 on a failed boot (129, a failed
// restart, a failed wait). restart_code is the cycle's restart code.
int reap_children(SupervisorState* state, int* restart_code);
