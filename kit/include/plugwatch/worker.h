/*
 * plugwatch worker kit: the worker's side of the contract with the plugwatch
 * supervisor, for C and C++ workers.
 *
 *   - pw_parse_options: the options the supervisor passes (-r -d -A -T -D -O)
 *   - PW_EXIT_* and pw_restart_reason: the exit-code protocol
 *   - pw_alive_touch, pw_alive_tick, pw_keeper_start: the alive file
 *   - pw_stage_package_file, pw_stage_package_bytes: upgrade packages
 *   - pw_end_with_parent: the worker's own child processes
 *
 * Every function is safe to call from any thread unless noted; none prints.
 */
#ifndef PLUGWATCH_WORKER_H
#define PLUGWATCH_WORKER_H

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exit codes a worker may end with to ask something of the supervisor. */
#define PW_EXIT_FAILED_BOOT 129    /* this boot failed (also what a failed exec gives) */
#define PW_EXIT_UNPACK_UPGRADE 130 /* unpack the staged package into the data directory, restart all */
#define PW_EXIT_COPY_UPGRADE 131   /* store the staged package as init.bin, restart all */
#define PW_EXIT_DROP_UPGRADE 132   /* delete the staged package, restart all */
#define PW_EXIT_RESTART_ALL 160    /* restart every worker */

/* Restart code after the watchdog killed the worker. */
#define PW_RESTART_WATCHDOG 199

/* The supervisor checks alive files every PW_ALIVE_CHECK_PERIOD seconds and
 * kills a worker whose file three checks in a row found missing. */
#define PW_ALIVE_CHECK_PERIOD 120
/* The kit's default re-creation period: three times per check. */
#define PW_ALIVE_DEFAULT_PERIOD 40

#define PW_UCI_DIR "/tmp/.uci/"
#define PW_PACKAGE_NAME "ttupgrade.tgz"
/* The plug-in's own package path, which the supervisor gives its workers in
 * the environment ("/tmp/.uci/NAME.ttupgrade.tgz"). */
#define PW_PACKAGE_ENV "PLUGWATCH_PACKAGE"

/* Size for the err buffers the functions below fill. */
#define PW_ERROR_SIZE 256

/* The options the supervisor passed. Texts point into the argument vector. */
struct pw_options {
    int restart_code;       /* -r; 0 when absent (first start, or after exit 0) */
    int daemon;             /* 1 with -d */
    const char *alive_path; /* -A; NULL when the worker keeps no alive file */
    const char *run_dir;    /* -T; NULL unless started from the data directory */
    const char *data_dir;   /* -D; NULL unless started from the data directory */
    const char *platform;   /* -O; NULL unless started from the data directory */
};

/*
 * Parses the supervisor's options out of *argc / argv. Known options and
 * their values are removed: afterwards argv[0] and the options the kit does
 * not know remain, in their order, and argv[*argc] is NULL. Returns 0, or -1
 * with a message in err (when err is not NULL) for an option without its
 * value or a restart code that is not a whole number; argv is then left as
 * it was.
 */
int pw_parse_options(int *argc, char **argv, struct pw_options *out, char *err, size_t errlen);

/* Why a worker was started, from its restart code. */
enum pw_reason {
    PW_REASON_FIRST_START,     /* 0: first start, or the previous run exited with 0 */
    PW_REASON_EXIT_OR_SIGNAL,  /* 1..64: an exit status, or the signal that ended the previous run */
    PW_REASON_EXIT,            /* another exit status of the previous run */
    PW_REASON_FAILED_BOOT,     /* 129: a boot failed and is tried again from the plug-in's own directory */
    PW_REASON_UPGRADE,         /* 130..132: a package was handled */
    PW_REASON_RESTART_ALL,     /* 160: some worker asked for a restart of all */
    PW_REASON_WATCHDOG,        /* 199: killed for not keeping the alive file */
    PW_REASON_INVALID          /* a negative code */
};

enum pw_reason pw_restart_reason(int restart_code);

/* A short English description of the reason, e.g. "killed by the watchdog". */
const char *pw_reason_text(enum pw_reason reason);

/*
 * Re-creates the alive file: a fresh file beside it ("<path>.XXXXXX", mode
 * 0644) renamed over it, so that a link planted at the path is replaced,
 * never followed. No allocation, the descriptor is close-on-exec. Returns 0,
 * or -1 with errno set. A NULL path (no -A option) is accepted and does
 * nothing.
 */
int pw_alive_touch(const char *path);

/* Keeping the alive file from the worker's own loop. */
struct pw_alive {
    const char *path;
    unsigned period;  /* seconds between re-creations */
    time_t last;      /* when the file was last re-created, 0 for never */
};

/* period 0 means PW_ALIVE_DEFAULT_PERIOD; a period above 119 is lowered to
 * 119 so that every check period sees a file. */
void pw_alive_init(struct pw_alive *alive, const char *path, unsigned period);

/* Seconds until the next re-creation is due at time now (0: due now). */
unsigned pw_alive_due_in(const struct pw_alive *alive, time_t now);

/* Re-creates the file when due. Returns 1 when it did, 0 when not due (or no
 * path), -1 on failure (tried again at the next call). */
int pw_alive_tick(struct pw_alive *alive, time_t now);

/* A background thread that keeps the alive file, for workers without a loop
 * of their own. The caller owns the storage until pw_keeper_stop returns. */
struct pw_keeper {
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t wake;
    int stop;
    int running;
    struct pw_alive alive;
};

/* Starts the keeper (period as for pw_alive_init). With a NULL path nothing
 * is started and 0 is returned. Returns -1 with errno set on failure. */
int pw_keeper_start(struct pw_keeper *keeper, const char *path, unsigned period);

/* Stops the keeper and waits for its thread. */
void pw_keeper_stop(struct pw_keeper *keeper);

/*
 * Stages an upgrade package: with run_dir NULL at the plug-in's own package
 * path from PW_PACKAGE_ENV, or, when that is unset (a supervisor older than
 * the per-plug-in package), at "/tmp/.uci/ttupgrade.tgz", the name every
 * plug-in shares; with run_dir given, at "ttupgrade.tgz" in it. Writes the
 * package under a temporary name in that directory, flushes it to disk, then
 * renames it into place, so that the supervisor never sees half a package.
 * The caller then exits with PW_EXIT_UNPACK_UPGRADE, PW_EXIT_COPY_UPGRADE or
 * PW_EXIT_DROP_UPGRADE. Returns 0, or -1 with a message in err.
 */
int pw_stage_package_file(const char *source_path, const char *run_dir, char *err, size_t errlen);
int pw_stage_package_bytes(const void *data, size_t len, const char *run_dir, char *err, size_t errlen);

/* For a child process of the worker, called in the child right after fork
 * with the worker's process id taken before the fork: the child gets SIGTERM
 * when the worker ends, however it ends (a worker killed by name gets SIGKILL,
 * which no handler of its own sees). Returns 0, or -1 when the worker was gone
 * already, or the request failed: the child should then leave. */
int pw_end_with_parent(pid_t parent);

#ifdef __cplusplus
}
#endif

#endif
