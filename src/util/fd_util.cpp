#include "util/fd_util.h"

#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <unistd.h>

int write_all(int fd, const void* buf, size_t len)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

ssize_t read_retry(int fd, void* buf, size_t len)
{
    for (;;) {
        ssize_t n = ::read(fd, buf, len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

ssize_t pread_retry(int fd, void* buf, size_t len, off_t offset)
{
    for (;;) {
        ssize_t n = ::pread(fd, buf, len, offset);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int pwrite_all(int fd, const void* buf, size_t len, off_t offset)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = ::pwrite(fd, p, len, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return 0;
}

long open_files_limit()
{
    // What sysconf(_SC_OPEN_MAX) reports, read directly: sysconf's table of
    // every other value would cost the static binary code of its own.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(LONG_MAX))
        return -1;
    return static_cast<long>(limit.rlim_cur);
}

void close_fds_from(int start)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned int>(start), ~0U, 0U) == 0)
        return;
#endif
    long limit = open_files_limit();
    for (long fd = start; fd < limit; ++fd)
        ::close(static_cast<int>(fd));
}

ssize_t read_proc_file(const char* path, char* buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read_retry(fd, buf, size - 1) : -1;
    if (fd >= 0)
        close(fd);
    if (n >= 0)
        buf[n] = '\0';
    return n;
}

unsigned long long leading_number(const char* text)
{
    unsigned long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<unsigned>(*text - '0');
    return value;
}
