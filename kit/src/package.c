/* Staging an upgrade package so that the supervisor only ever sees it whole. */
#include "plugwatch/worker.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define PW_PATH_SIZE 4096

static int fail(char *err, size_t errlen, const char *what, const char *path)
{
    int saved = errno;
    if (err != NULL && errlen > 0)
        snprintf(err, errlen, "%s %s: %s", what, path, strerror(saved));
    errno = saved;
    return -1;
}

static int write_all(int fd, const void *buf, size_t len)
{
    const char *p = buf;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

/* Writing side: data from memory, or copied from a file when data is NULL. */
static int fill(int out, const void *data, size_t len, int in)
{
    char buf[8192];
    if (data != NULL)
        return write_all(out, data, len);
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        if (write_all(out, buf, (size_t)n) != 0)
            return -1;
    }
}

static int stage(const void *data, size_t len, int in, const char *run_dir, char *err, size_t errlen)
{
    char tmp[PW_PATH_SIZE], final[PW_PATH_SIZE], dir_path[PW_PATH_SIZE];
    const char *name = PW_PACKAGE_NAME;
    const char *own = getenv(PW_PACKAGE_ENV);
    const char *slash;
    int out, dir;
    if ((run_dir == NULL || run_dir[0] == '\0') && own != NULL && (slash = strrchr(own, '/')) != NULL &&
        slash[1] != '\0' && (size_t)(slash - own) < sizeof dir_path) {
        /* The plug-in's own package path, which the supervisor gives its workers. */
        memcpy(dir_path, own, (size_t)(slash - own));
        dir_path[slash - own] = '\0';
        run_dir = dir_path;
        name = slash + 1;
    }
    if (run_dir == NULL || run_dir[0] == '\0')
        run_dir = PW_UCI_DIR;
    if (snprintf(tmp, sizeof tmp, "%s/.%s.XXXXXX", run_dir, name) >= (int)sizeof tmp ||
        snprintf(final, sizeof final, "%s/%s", run_dir, name) >= (int)sizeof final) {
        errno = ENAMETOOLONG;
        return fail(err, errlen, "cannot stage in", run_dir);
    }
    out = mkostemp(tmp, O_CLOEXEC);
    if (out < 0)
        return fail(err, errlen, "cannot create", tmp);
    /* The supervisor reads the package as itself; 0644 like any file it keeps. */
    if (fchmod(out, 0644) != 0 || fill(out, data, len, in) != 0 || fsync(out) != 0) {
        fail(err, errlen, "cannot write", tmp);
        close(out);
        unlink(tmp);
        return -1;
    }
    if (close(out) != 0) {
        fail(err, errlen, "cannot write", tmp);
        unlink(tmp);
        return -1;
    }
    if (rename(tmp, final) != 0) {
        fail(err, errlen, "cannot rename to", final);
        unlink(tmp);
        return -1;
    }
    dir = open(run_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

int pw_stage_package_bytes(const void *data, size_t len, const char *run_dir, char *err, size_t errlen)
{
    static const char empty = 0;
    return stage(data != NULL ? data : &empty, data != NULL ? len : 0, -1, run_dir, err, errlen);
}

int pw_stage_package_file(const char *source_path, const char *run_dir, char *err, size_t errlen)
{
    int rc;
    int in = open(source_path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail(err, errlen, "cannot read", source_path);
    rc = stage(NULL, 0, in, run_dir, err, errlen);
    close(in);
    return rc;
}
