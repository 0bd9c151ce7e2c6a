// Start-up helpers: entering the plug-in directory and the single-instance
// run file.
#pragma once

#include "supervisor/state.h"

#include <cstddef>
#include <sys/stat.h>

// Changes to the directory part of program_path; does nothing for nullptr.
// A failing chdir is not reported.
void enter_app_directory(const char* program_path);

// 0 when path is or becomes a directory; -1 after printing
// "mkdir (%s) error: %s".
int ensure_directory(const char* path);

// Opens (creating) path close-on-exec, refusing a symbolic link or anything
// but a regular file, takes an exclusive non-blocking lock, then truncates it
// and writes content. A regular file of another account, or with a second
// link, is removed and made anew first; *replaced then tells what it was
// (st_nlink 0: nothing replaced). Returns the descriptor, or -1 after a
// message; the file is untouched when the lock is held elsewhere.
int open_locked_file(const char* path, const char* content, size_t len, struct stat* replaced);

// Locks the run file and writes the working directory and a line end into
// it. Returns 0, or -1 after "process(%s) already run\n" with argv0.
int acquire_run_file(const char* argv0, SupervisorState* state);

// Runs start-up and the supervision cycle. Returns the exit status (always
// 0); start-up failures end the process with status 0 directly.
int run_supervisor(int argc, char** argv, SupervisorState* state);
