// Test-only preload: makes the N-th fork of the process fail with EAGAIN,
// N taken from PW_FAIL_FORK_AT. The variable is removed at load time so that
// children do not inherit the fault.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace {

long fail_at = -1;
long calls = 0;

__attribute__((constructor)) void read_fault()
{
    const char* at = std::getenv("PW_FAIL_FORK_AT");
    if (at != nullptr) {
        fail_at = std::atol(at);
        unsetenv("PW_FAIL_FORK_AT");
    }
}

} // namespace

extern "C" pid_t fork()
{
    using fork_fn = pid_t (*)();
    static fork_fn real = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));
    if (fail_at > 0 && ++calls == fail_at) {
        errno = EAGAIN;
        return -1;
    }
    return real();
}
