/* Keeping the alive file the supervisor checks every 120 seconds. */
#include "plugwatch/worker.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

/* Room for the alive path and the temporary suffix. */
#define PW_ALIVE_PATH_SIZE 4096

int pw_alive_touch(const char *path)
{
    /* A fresh name beside it, renamed over it: whatever another account
     * planted at the path (a link to a file of root's) is replaced, never
     * followed and truncated. */
    char tmp[PW_ALIVE_PATH_SIZE];
    int fd, err;
    if (path == NULL)
        return 0;
    if (snprintf(tmp, sizeof tmp, "%s.XXXXXX", path) >= (int)sizeof tmp) {
        errno = ENAMETOOLONG;
        return -1;
    }
    fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return -1;
    /* 0644, as the file was always made (mkostemp gives 0600). */
    if (fchmod(fd, 0644) != 0 || close(fd) != 0 || rename(tmp, path) != 0) {
        err = errno;
        unlink(tmp);
        errno = err;
        return -1;
    }
    return 0;
}

void pw_alive_init(struct pw_alive *alive, const char *path, unsigned period)
{
    alive->path = path;
    if (period == 0)
        period = PW_ALIVE_DEFAULT_PERIOD;
    if (period >= PW_ALIVE_CHECK_PERIOD)
        period = PW_ALIVE_CHECK_PERIOD - 1;
    alive->period = period;
    alive->last = 0;
}

unsigned pw_alive_due_in(const struct pw_alive *alive, time_t now)
{
    time_t next;
    if (alive->last == 0 || now < alive->last)
        return 0;
    next = alive->last + (time_t)alive->period;
    return now >= next ? 0 : (unsigned)(next - now);
}

int pw_alive_tick(struct pw_alive *alive, time_t now)
{
    if (alive->path == NULL || pw_alive_due_in(alive, now) > 0)
        return 0;
    if (pw_alive_touch(alive->path) != 0)
        return -1;
    alive->last = now;
    return 1;
}

static void *keeper_main(void *arg)
{
    struct pw_keeper *k = arg;
    pthread_mutex_lock(&k->lock);
    while (!k->stop) {
        struct timespec until;
        unsigned wait;
        pw_alive_tick(&k->alive, time(NULL));
        /* A failed re-creation is tried again a second later. */
        wait = pw_alive_due_in(&k->alive, time(NULL));
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += (time_t)(wait > 0 ? wait : 1);
        pthread_cond_timedwait(&k->wake, &k->lock, &until);
    }
    pthread_mutex_unlock(&k->lock);
    return NULL;
}

int pw_keeper_start(struct pw_keeper *keeper, const char *path, unsigned period)
{
    int rc;
    memset(keeper, 0, sizeof *keeper);
    if (path == NULL)
        return 0;
    pw_alive_init(&keeper->alive, path, period);
    pthread_mutex_init(&keeper->lock, NULL);
    pthread_cond_init(&keeper->wake, NULL);
    rc = pthread_create(&keeper->thread, NULL, keeper_main, keeper);
    if (rc != 0) {
        pthread_cond_destroy(&keeper->wake);
        pthread_mutex_destroy(&keeper->lock);
        errno = rc;
        return -1;
    }
    keeper->running = 1;
    return 0;
}

void pw_keeper_stop(struct pw_keeper *keeper)
{
    if (!keeper->running)
        return;
    pthread_mutex_lock(&keeper->lock);
    keeper->stop = 1;
    pthread_cond_signal(&keeper->wake);
    pthread_mutex_unlock(&keeper->lock);
    pthread_join(keeper->thread, NULL);
    pthread_cond_destroy(&keeper->wake);
    pthread_mutex_destroy(&keeper->lock);
    keeper->running = 0;
}
