// Decoding of worker ends and the restart policy: pure functions, apart from
// the slot lookup and the shared segfault count.
#pragma once

#include "supervisor/state.h"

#include <sys/types.h>

#define EXIT_CODE(name, value, text) constexpr int name = value;
#define RESTART_CODE(name, value, text) constexpr int name = value;
#include "supervisor/exit_codes.def"
#undef EXIT_CODE
#undef RESTART_CODE
constexpr unsigned int NORMAL_RESTART_DELAY = 10;

// A wait status as code and exited flag: the exit status with flag 1, or the
// signal number (without the core-dump bit) with flag 0.
void decode_status(int status, int* code, int* exited);

// The index of the slot in use whose pid is pid, or process_count for a
// child of no slot.
int find_slot(pid_t pid, const SupervisorState* state);

enum class ExitAction {
    restart_one,   // delay, then restart that worker alone
    failed_boot,   // 129: the reaping loop reports a failed boot
    upgrade,       // 130 to 132: install the package, then restart all
    restart_all,   // 160
};

// What the protocol asks for after an end with this code and flag. Only
// exits carry requests; a signal always restarts the one worker.
ExitAction exit_action(int code, int exited);

// The delay before the n-th restart after a SIGSEGV (n counted from 1 over the
// supervisor's life): 60, 660, 1260, then 7200 seconds.
unsigned int segv_delay_for_count(uint32_t count);

// Counts one more segfault restart and returns its delay.
unsigned int segv_restart_delay(SupervisorState* state);
