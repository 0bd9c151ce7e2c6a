// Shell command texts built from worker names.
#pragma once

#include <cstddef>

// Formats "killall -9 %s >/dev/null 2>&1" for name into buf. A name made only
// of A-Z a-z 0-9 . _ + - goes in unchanged; any other name is single-quoted
// for the shell so that it can never run a command of its own. Returns 0, or
// -1 when the command does not fit buf (nothing usable is left in it then).
int format_kill_command(const char* name, char* buf, size_t size);

// Runs the kill command for name through the shell; its status is ignored.
void run_kill_command(const char* name);
