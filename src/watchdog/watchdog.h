// Alive-file watchdog: kills workers that stop re-creating their alive file.
#pragma once

#include "supervisor/state.h"

#include <cstddef>

constexpr unsigned int ALIVE_CHECK_PERIOD = 120;
constexpr uint32_t ALIVE_MISS_LIMIT = 2;
// The watchdog thread's stack: a sanitizer's instrumented frames need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t WATCHDOG_STACK_SIZE = 1024 * 1024;
#else
constexpr size_t WATCHDOG_STACK_SIZE = 64 * 1024;
#endif

// Starts the detached check_alive thread when any slot in use keeps an alive
// file. A failed start is noted in the run file.
void start_watchdog(SupervisorState* state);

// One sweep over the slots: deletes each alive file found, counts misses, and
// kills a worker at its third miss in a row. True when a miss count changed.
bool check_alive_sweep(SupervisorState* state);

// The thread's entry: a sweep every ALIVE_CHECK_PERIOD seconds, for ever.
void* check_alive(void* state);
