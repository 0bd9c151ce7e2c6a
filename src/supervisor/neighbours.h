// The plug-ins installed beside this one (the other directories of the
// application root its own directory lies in), which share /tmp/.uci/.
#pragma once

#include "supervisor/state.h"

// Gives each watched worker whose name another plug-in beside this one also
// watches an alive file of its own, "/tmp/.uci//NAME.BASE.alive" (NAME the
// run file's name, the base name of argv0), with a line in the run file
// naming the base and the other plug-in. Every plug-in reads the others'
// configurations, so the outcome does not depend on which starts first.
// Call after the run file is acquired and before the watchdog starts.
void separate_shared_alive_files(SupervisorState* state, const char* argv0);
