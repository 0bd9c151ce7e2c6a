// Alive-file watchdog: kills workers that stop re-creating their alive file.
#pragma once

#include "supervisor/state.h"

constexpr unsigned int ALIVE_CHECK_PERIOD = 120;
constexpr uint32_t ALIVE_MISS_LIMIT = 2;

// Starts the detached check_alive thread when any slot in use keeps an alive
// file. A failed start is noted in the run file.
void start_watchdog(SupervisorState* state);

// One sweep over the slots: deletes each alive file found, counts misses, and
// kills a worker at its third miss in a row.
void check_alive_sweep(SupervisorState* state);

// The thread's entry: a sweep every ALIVE_CHECK_PERIOD seconds, for ever.
void* check_alive(void* state);
