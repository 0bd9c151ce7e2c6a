/* Preloaded into the supervisor by plugwatch-try: appends a line to the file
 * PWTRY_TRACE names for every worker program the supervisor executes (written
 * by the launcher's child just before execv), every child it reaps, every
 * kill it sends and every shell command it runs, each with the real time, so
 * that the workbench sees every start and end exactly, however short the
 * life. The start line comes from a vfork child: only async-signal-safe calls
 * are made and nothing is allocated. Tab-separated lines:
 *   exec <time> <pid> <path> <argument>...
 *   reap <time> <pid> <wait status> <process name at its end>
 *   kill <time> <pid> <signal> main|thread
 *   system <time> main|thread <command>
 *   start <time> <pid>        (the supervisor itself, as it loads)
 * With PWTRY_OUTPUT naming an abstract Unix socket, each worker's standard
 * output and error go to a connection of its own to that socket, which first
 * carries the worker's pid and a line end: the workbench reads every worker's
 * output apart, as it comes, however much it writes. When the exec fails, the
 * launcher's message goes to the console as before.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static char trace_path[4096];
static char output_name[100];

static void note_start(void);

__attribute__((constructor)) static void read_trace_path(void)
{
    const char* path = getenv("PWTRY_TRACE");
    if (path != NULL && strlen(path) < sizeof trace_path)
        strcpy(trace_path, path);
    const char* output = getenv("PWTRY_OUTPUT");
    if (output != NULL && strlen(output) < sizeof output_name)
        strcpy(output_name, output);
    /* The workers load this library too; they trace nothing. */
    unsetenv("PWTRY_TRACE");
    unsetenv("PWTRY_OUTPUT");
    if (trace_path[0] != '\0')
        note_start();
}

struct line {
    char text[8192];
    size_t len;
};

static void put(struct line* l, const char* s)
{
    for (; *s != '\0' && l->len < sizeof l->text - 2; ++s)
        l->text[l->len++] = (*s == '\t' || *s == '\n') ? ' ' : *s;
}

static void put_number(struct line* l, long long n, int min_digits)
{
    char digits[24];
    int i = 0;
    unsigned long long u = n < 0 ? 0ULL - (unsigned long long)n : (unsigned long long)n;
    do {
        digits[i++] = (char)('0' + u % 10);
        u /= 10;
    } while (u != 0 || i < min_digits);
    if (n < 0 && l->len < sizeof l->text - 2)
        l->text[l->len++] = '-';
    while (i > 0 && l->len < sizeof l->text - 2)
        l->text[l->len++] = digits[--i];
}

static void tab(struct line* l)
{
    l->text[l->len++] = '\t';
}

/* The kind and the real time: a raw system call, which the preloaded clock
 * that speeds up the plug-in does not see. */
static void begin(struct line* l, const char* kind)
{
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    l->len = 0;
    put(l, kind);
    tab(l);
    put_number(l, ts.tv_sec, 1);
    put(l, ".");
    put_number(l, ts.tv_nsec, 9);
}

static void finish(struct line* l)
{
    l->text[l->len++] = '\n';
    if (trace_path[0] == '\0')
        return;
    int fd = open(trace_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, l->text, l->len);
    (void)ignored;
    close(fd);
}

/* The supervisor's own start: the zero of the workbench's clock. */
static void note_start(void)
{
    struct line l;
    begin(&l, "start");
    tab(&l);
    put_number(&l, syscall(SYS_getpid), 1);
    finish(&l);
}

static const char* thread_kind(void)
{
    return syscall(SYS_gettid) == syscall(SYS_getpid) ? "main" : "thread";
}

/* Connects standard output and error to the workbench's socket; returns a
 * copy of the old standard output (standard error is restored from it too),
 * or -1 when nothing was changed. */
static int connect_output(void)
{
    if (output_name[0] == '\0')
        return -1;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = strlen(output_name);
    memcpy(addr.sun_path + 1, output_name, len); /* abstract: a leading zero byte */
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr*)&addr, (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + len)) != 0) {
        close(fd);
        return -1;
    }
    struct line l;
    l.len = 0;
    put_number(&l, syscall(SYS_getpid), 1);
    l.text[l.len++] = '\n';
    /* The console, kept to restore it if the exec fails; no worker may
     * inherit it. */
    int saved = fcntl(1, F_DUPFD_CLOEXEC, 0);
    if (write(fd, l.text, l.len) != (ssize_t)l.len || saved < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) {
        if (saved >= 0) {
            dup2(saved, 1);
            close(saved);
        }
        close(fd);
        return -1;
    }
    close(fd);
    return saved;
}

/* A worker's start: its exec, noted, with its output connected to the run's
 * socket. The supervisor starts workers with execve (execv in older builds);
 * the shells it runs for tar ("/bin/sh -c ...") are no workers and pass. */
static int traced_exec(const char* path, char* const argv[], char* const envp[])
{
    static int (*real_execve)(const char*, char* const[], char* const[]);
    if (real_execve == NULL)
        real_execve = (int (*)(const char*, char* const[], char* const[]))dlsym(RTLD_NEXT, "execve");
    if (strcmp(path, "/bin/sh") == 0 && argv[0] != NULL && argv[1] != NULL && strcmp(argv[1], "-c") == 0)
        return real_execve(path, argv, envp);
    struct line l;
    begin(&l, "exec");
    tab(&l);
    put_number(&l, syscall(SYS_getpid), 1);
    tab(&l);
    put(&l, path);
    for (int i = 0; argv[i] != NULL; ++i) {
        tab(&l);
        put(&l, argv[i]);
    }
    finish(&l);
    int saved = connect_output();
    int result = real_execve(path, argv, envp);
    if (saved >= 0) {
        int err = errno;
        dup2(saved, 1);
        dup2(saved, 2);
        close(saved);
        errno = err;
    }
    return result;
}

int execve(const char* path, char* const argv[], char* const envp[])
{
    return traced_exec(path, argv, envp);
}

int execv(const char* path, char* const argv[])
{
    return traced_exec(path, argv, environ);
}

/* The name a child ended under, read while it is still a zombie: what it ran
 * as in the end, whatever it executed on the way. Empty when unreadable. */
static void read_comm(pid_t pid, char* comm, size_t size)
{
    struct line p;
    p.len = 0;
    put(&p, "/proc/");
    put_number(&p, pid, 1);
    put(&p, "/comm");
    p.text[p.len] = '\0';
    comm[0] = '\0';
    int fd = open(p.text, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, comm, size - 1);
    close(fd);
    if (n < 0)
        n = 0;
    while (n > 0 && comm[n - 1] == '\n')
        --n;
    comm[n] = '\0';
}

pid_t waitpid(pid_t pid, int* status, int options)
{
    static pid_t (*real_waitpid)(pid_t, int*, int);
    if (real_waitpid == NULL)
        real_waitpid = (pid_t(*)(pid_t, int*, int))dlsym(RTLD_NEXT, "waitpid");
    /* A blocking wait is first answered without reaping, so that the
     * child's name can still be read; then that child is reaped. */
    char comm[32] = "";
    if (options == 0 && pid >= -1 && pid != 0) {
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (waitid(pid == -1 ? P_ALL : P_PID, pid == -1 ? 0 : (id_t)pid, &info, WEXITED | WNOWAIT) != 0)
            return -1;
        pid = info.si_pid;
        read_comm(pid, comm, sizeof comm);
    }
    pid_t got = real_waitpid(pid, status, options);
    if (got > 0 && status != NULL) {
        struct line l;
        begin(&l, "reap");
        tab(&l);
        put_number(&l, got, 1);
        tab(&l);
        put_number(&l, *status, 1);
        tab(&l);
        put(&l, comm);
        finish(&l);
    }
    return got;
}

int kill(pid_t pid, int sig)
{
    static int (*real_kill)(pid_t, int);
    if (real_kill == NULL)
        real_kill = (int (*)(pid_t, int))dlsym(RTLD_NEXT, "kill");
    struct line l;
    begin(&l, "kill");
    tab(&l);
    put_number(&l, pid, 1);
    tab(&l);
    put_number(&l, sig, 1);
    tab(&l);
    put(&l, thread_kind());
    finish(&l);
    return real_kill(pid, sig);
}

int system(const char* command)
{
    static int (*real_system)(const char*);
    if (real_system == NULL)
        real_system = (int (*)(const char*))dlsym(RTLD_NEXT, "system");
    if (command != NULL) {
        struct line l;
        begin(&l, "system");
        tab(&l);
        put(&l, thread_kind());
        tab(&l);
        put(&l, command);
        finish(&l);
    }
    return real_system(command);
}
