// Worker launcher: the only place where worker processes are created.
#pragma once

#include "supervisor/state.h"

#include <array>
#include <sys/types.h>

constexpr const char* PLATFORM_TAG = "velmar_rtos510";
constexpr int WORKER_ARGV_ENTRIES = 16;
// Room for the environment handed to a worker, terminator included.
constexpr size_t WORKER_ENV_ENTRIES = 256;

// A worker's argument vector, prepared before fork so that the child never
// allocates or formats. The entries point at the caller's path and alive
// path, at code_text and at fixed texts.
struct WorkerArgv {
    std::array<char, 16> code_text{};
    std::array<const char*, WORKER_ARGV_ENTRIES> argv{};
    int argc = 0;
};

// Ignores SIGPIPE in the supervisor, so that a console whose reader has gone
// only loses messages instead of ending the supervisor (and, through the
// parent-death signal, every worker). Call first in main: it also notes the
// signal mask the process started with, which workers are given back along
// with SIGPIPE's default action, and the process's pid.
void ignore_broken_console();

// Fills out: the path, "-r" and the code when it is not 0, "-d" when the
// daemon flag is 1, "-A" and the alive path when it is not empty, and in
// data-directory mode "-T" "/tmp/.uci/" "-D" "../data/" "-O" PLATFORM_TAG.
void build_worker_argv(const char* path, const char* alive_path, int restart_code,
                       int daemon_flag, int data_dir, WorkerArgv* out);

// Forks (vfork) and executes the worker, with the supervisor's environment
// and extra_env ("NAME=value", or nullptr) first in it. Returns the child's id
// in the supervisor, or -1 after printing "failed to fork". Call from the main
// thread only: the child's parent-death signal is tied to the thread that
// forked.
pid_t spawn_child(const char* path, const char* alive_path, int restart_code, int daemon_flag,
                  int data_dir, const char* extra_env);

// Starts the worker of slot index in the current data-directory mode, with
// the plug-in's own package path in its environment (PLUGWATCH_PACKAGE), and
// stores the result of spawn_child in the slot's pid.
void start_process(SupervisorState* state, int index, int restart_code);
