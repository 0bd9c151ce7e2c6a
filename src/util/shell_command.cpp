#include "util/shell_command.h"

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

pid_t start_shell_command(const char* command, int out)
{
    // vfork: the child only moves a descriptor and executes the shell.
    pid_t pid = vfork();
    if (pid == 0) {
        if (out >= 0 && out != STDOUT_FILENO)
            dup2(out, STDOUT_FILENO);
        // execve, not execv, which only worker starts use.
        const char* argv[] = {"sh", "-c", command, nullptr};
        execve("/bin/sh", const_cast<char* const*>(argv), environ);
        _exit(127);
    }
    return pid < 0 ? -1 : pid;
}

int finish_shell_command(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int run_shell_command(const char* command)
{
    pid_t pid = start_shell_command(command, -1);
    return pid < 0 ? -1 : finish_shell_command(pid);
}
