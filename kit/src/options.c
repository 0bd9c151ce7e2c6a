/* Parsing the options the supervisor passes to a worker. */
#include "plugwatch/worker.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void set_error(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    if (err == NULL || errlen == 0)
        return;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
}

static int parse_code(const char *text, int *code)
{
    char *end = NULL;
    long value;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX)
        return -1;
    *code = (int)value;
    return 0;
}

/* Which options take a value, and where it goes. */
static const char **value_slot(struct pw_options *o, const char *arg)
{
    if (strcmp(arg, "-A") == 0)
        return &o->alive_path;
    if (strcmp(arg, "-T") == 0)
        return &o->run_dir;
    if (strcmp(arg, "-D") == 0)
        return &o->data_dir;
    if (strcmp(arg, "-O") == 0)
        return &o->platform;
    return NULL;
}

int pw_parse_options(int *argc, char **argv, struct pw_options *out, char *err, size_t errlen)
{
    struct pw_options o;
    int i;
    int kept = 1;
    memset(&o, 0, sizeof o);
    if (argc == NULL || argv == NULL || out == NULL || *argc < 1) {
        set_error(err, errlen, "no argument vector");
        return -1;
    }
    /* First pass: check and collect, so that argv is untouched on error. */
    for (i = 1; i < *argc; ++i) {
        const char *arg = argv[i];
        const char **slot = value_slot(&o, arg);
        if (strcmp(arg, "-d") == 0) {
            o.daemon = 1;
        } else if (strcmp(arg, "-r") == 0 || slot != NULL) {
            if (i + 1 >= *argc) {
                set_error(err, errlen, "option %s needs a value", arg);
                return -1;
            }
            ++i;
            if (slot != NULL) {
                *slot = argv[i];
            } else if (parse_code(argv[i], &o.restart_code) != 0) {
                set_error(err, errlen, "option -r needs a whole number, not '%s'", argv[i]);
                return -1;
            }
        }
    }
    /* Second pass: keep argv[0] and the options the kit does not know. */
    for (i = 1; i < *argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "-d") == 0)
            continue;
        if (strcmp(arg, "-r") == 0 || value_slot(&o, arg) != NULL) {
            ++i;
            continue;
        }
        argv[kept++] = argv[i];
    }
    argv[kept] = NULL;
    *argc = kept;
    *out = o;
    return 0;
}
