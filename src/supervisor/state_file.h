// The state file, "/tmp/.uci/NAME.state": what the supervisor knows of itself
// and its workers, replaced whole at every change, for plugwatch-status to
// read instead of guessing. It lives in RAM, is never flushed to disk and is
// rebuilt by the next start. Its format is in util/shared_texts.h.
#pragma once

#include "supervisor/state.h"
#include "util/shared_texts.h"

#include <cstddef>

// The notes below change the facts under facts_lock, from the main thread;
// none writes the file: publish_state does.
void note_startup(SupervisorState* state);
// A pass begins, in the data-directory mode state->data_dir_mode holds.
// Unless outdated (RECORD_VERSION_SIZE bytes) is empty, it names the version
// of a boot-check record older than this plugwatch that the pass deleted,
// told until the next install begins.
void note_pass(SupervisorState* state, const char* outdated);
// The slot was just started (its pid as start_process left it); a delay it
// waited out is over.
void note_start(SupervisorState* state, int index, int restart_code);
// The slot's end was collected; cycle_code is the cycle's restart code after it.
void note_end(SupervisorState* state, int index, int code, EndHow how, int cycle_code);
// The slot's restart delay begins, counted from its end just noted. The
// slot's next start ends it.
void note_delay(SupervisorState* state, int index, unsigned int seconds);
// A package refused (for any reason the run file gives): counted, with the
// newest reason.
void note_refusal(SupervisorState* state, const char* why);

// An install with this code begins (running) or has ended with outcome.
void note_install(SupervisorState* state, int code, InstallOutcome outcome);

// Writes the state file from the facts: a fresh temporary name beside it
// (O_EXCL, O_NOFOLLOW, mode 0644), renamed over it, which replaces a link or
// FIFO planted at the name instead of following it. Either thread may call
// it; neither ever waits for the other: a call made while the other thread
// writes leaves that thread one more write to do. A failed write changes
// nothing else.
void publish_state(SupervisorState* state);

// A path beside the run file's, "X.run" to "X" and suffix (the state file,
// the plug-in's own package); false when run_file does not end in ".run" or
// the result does not fit.
bool beside_run_file(const char* run_file, const char* suffix, char* out, size_t size);
