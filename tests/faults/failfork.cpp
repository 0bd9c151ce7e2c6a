// Test-only preload: makes the N-th fork (or vfork) of the process fail with
// EAGAIN, N taken from PW_FAIL_FORK_AT; with PW_FAIL_KILL set, kill() reports
// success and signals nothing; with PW_REAP_PAUSE set, every waitpid that
// collected a child sleeps that many seconds before it returns, which widens
// the moment between collecting a worker and acting on its end; with
// PW_ALIVE_PAUSE set to "N:S", the N-th access() of an alive file sleeps S
// seconds before it tests the file, which widens a watchdog sweep. The variables are removed at load time so that
// children do not inherit the faults. A vfork that does not fail is
// served by a real fork: a wrapper cannot return twice into vfork's caller.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using fork_fn = pid_t (*)();

long fail_at = -1;
bool fail_kill = false;
long calls = 0;
fork_fn real_fork = nullptr;
using kill_fn = int (*)(pid_t, int);
kill_fn real_kill = nullptr;
using waitpid_fn = pid_t (*)(pid_t, int*, int);
waitpid_fn real_waitpid = nullptr;
unsigned reap_pause = 0;
using access_fn = int (*)(const char*, int);
access_fn real_access = nullptr;
long alive_pause_at = -1;
unsigned alive_pause = 0;
long alive_calls = 0;

__attribute__((constructor)) void read_fault()
{
    real_fork = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));
    real_kill = reinterpret_cast<kill_fn>(dlsym(RTLD_NEXT, "kill"));
    const char* at = std::getenv("PW_FAIL_FORK_AT");
    if (at != nullptr) {
        fail_at = std::atol(at);
        unsetenv("PW_FAIL_FORK_AT");
    }
    fail_kill = std::getenv("PW_FAIL_KILL") != nullptr;
    unsetenv("PW_FAIL_KILL");
    real_waitpid = reinterpret_cast<waitpid_fn>(dlsym(RTLD_NEXT, "waitpid"));
    const char* pause = std::getenv("PW_REAP_PAUSE");
    if (pause != nullptr) {
        reap_pause = static_cast<unsigned>(std::atol(pause));
        unsetenv("PW_REAP_PAUSE");
    }
    real_access = reinterpret_cast<access_fn>(dlsym(RTLD_NEXT, "access"));
    const char* alive = std::getenv("PW_ALIVE_PAUSE");
    if (alive != nullptr) {
        char* end = nullptr;
        alive_pause_at = std::strtol(alive, &end, 10);
        alive_pause = *end == ':' ? static_cast<unsigned>(std::atol(end + 1)) : 0;
        unsetenv("PW_ALIVE_PAUSE");
    }
}

} // namespace

namespace {

pid_t counted_fork()
{
    if (fail_at > 0 && ++calls == fail_at) {
        errno = EAGAIN;
        return -1;
    }
    return real_fork();
}

} // namespace

extern "C" pid_t fork()
{
    return counted_fork();
}

extern "C" pid_t vfork()
{
    return counted_fork();
}

extern "C" int kill(pid_t pid, int sig)
{
    return fail_kill ? 0 : real_kill(pid, sig);
}

extern "C" pid_t waitpid(pid_t pid, int* status, int options)
{
    pid_t got = real_waitpid(pid, status, options);
    if (got > 0 && reap_pause > 0)
        sleep(reap_pause);
    return got;
}

extern "C" int access(const char* path, int mode)
{
    size_t len = std::strlen(path);
    if (len > 6 && std::strcmp(path + len - 6, ".alive") == 0 && ++alive_calls == alive_pause_at)
        sleep(alive_pause);
    return real_access(path, mode);
}
