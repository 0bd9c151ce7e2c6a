// A shell command that reads the package: tar listing or unpacking it, the
// signature check. The package's descriptor reaches the command as its
// standard input, never its name, so what is read is what was checked.
#pragma once

#include <sys/types.h>

// Starts format through the shell with text and then the package's shared
// descriptor, twice, filled in ("... %s <&%d %d<&-"), reading from the start
// of the file, with standard output on out (the supervisor's own when below
// 0). Returns the shell's pid, or -1.
pid_t start_package_command(int fd, const char* format, const char* text, int out);
