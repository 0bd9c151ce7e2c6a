// The supervision cycle: kill, decide the mode, start all, reap; again.
#pragma once

#include "supervisor/state.h"

// Clears every slot's pid and kills every process of each configured name.
void kill_all_processes(SupervisorState* state);

// Runs passes until a start fails or a failed boot leaves no boot-check
// record to clear.
void supervise(SupervisorState* state);
