/* Shared by the demo workers: their console lines and a sleep that SIGTERM
 * from the supervisor cuts short. */
#ifndef PWDEMO_DEMO_H
#define PWDEMO_DEMO_H

#include "plugwatch/worker.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t demo_terminated;

static void demo_on_term(int sig)
{
    (void)sig;
    demo_terminated = 1;
}

/* Line-buffered output, a SIGTERM handler, and the parsed options; exits
 * with a message when the options are malformed. */
static inline void demo_begin(int *argc, char **argv, struct pw_options *opts)
{
    char err[PW_ERROR_SIZE];
    struct sigaction sa;
    setvbuf(stdout, NULL, _IOLBF, 0);
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = demo_on_term;
    sigaction(SIGTERM, &sa, NULL);
    if (pw_parse_options(argc, argv, opts, err, sizeof err) != 0) {
        printf("    [%s] %s\n", argv[0], err);
        _exit(2);
    }
}

static inline void demo_say(const char *name, const struct pw_options *opts, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    printf("    [%s pid %d from %s] %s\n", name, (int)getpid(), opts->data_dir ? "data" : "files", text);
}

/* Sleeps, unless SIGTERM came; returns 0 then. */
static inline int demo_nap(unsigned seconds)
{
    if (!demo_terminated)
        sleep(seconds);
    return !demo_terminated;
}

#endif
