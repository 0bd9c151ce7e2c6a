// Kills by name that reach only this plug-in's processes. Several plug-ins
// run side by side on one gateway, often with workers of the same name, so a
// name alone never decides a kill: the process must also belong to this
// plug-in. The scan reads /proc and signals by pid; no shell is involved.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Whether a process shows name the way killall matches names: its kernel
// name (comm, at most 15 bytes) equals name; or, for a name longer than the
// kernel keeps, comm is the start of name and the base name of the program
// path in its command line (program_base) is name itself.
bool process_has_name(const char* comm, const char* program_base, const char* name);

// The program an interpreter would run in a command line (texts separated
// by NUL bytes, len bytes in all): the first argument after argument zero
// that is not an option; an empty text when there is none. A process is
// looked at by argument zero and by this one.
const char* program_argument(const char* args, size_t len);

// Sends SIGKILL to every process but the supervisor itself that carries one
// of the count names and belongs to this plug-in: a child of the supervisor,
// or a process whose program, working directory, argument zero or script
// (see program_argument) lies in the plug-in's files directory (the working
// directory) or its data directory. Returns how many were signalled.
int kill_plugin_processes(const char* const* names, int count);
