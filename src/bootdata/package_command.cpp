#include "bootdata/package_command.h"

#include "util/shell_command.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

pid_t start_package_command(int fd, const char* format, const char* text, int out)
{
    // A descriptor the shell inherits, moved onto the command's standard
    // input and closed for everything else. A shell takes single digits in
    // redirections.
    int shared = fcntl(fd, F_DUPFD, 3);
    pid_t pid = -1;
    if (shared >= 0 && shared <= 9 && lseek(fd, 0, SEEK_SET) == 0) {
        std::array<char, 128> command{};
        std::snprintf(command.data(), command.size(), format, text, shared, shared);
        pid = start_shell_command(command.data(), out);
    }
    if (shared >= 0)
        close(shared);
    return pid;
}
