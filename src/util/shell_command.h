// Shell commands (tar) run by the supervisor: /bin/sh -c, as system() runs
// them, but without system()'s change of the whole process's SIGINT and
// SIGQUIT dispositions while it waits, which a worker started meanwhile, or
// afterwards when two calls overlap, would inherit as ignored.
#pragma once

#include <sys/types.h>

// Starts command through the shell with its standard output on out (the
// supervisor's own when out is below 0). Returns the shell's pid, or -1.
// Call from the main thread only, like every fork of the supervisor.
pid_t start_shell_command(const char* command, int out);

// Waits for a shell that start_shell_command started: its wait status, or
// -1 when it could not be waited for.
int finish_shell_command(pid_t pid);

// Both in one: the status as system() gives it, -1 when no shell started.
int run_shell_command(const char* command);
