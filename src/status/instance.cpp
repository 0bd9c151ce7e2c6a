#include "status/instance.h"

#include "status/proc_scan.h"
#include "supervisor/config.h"
#include "supervisor/exit_policy.h"
#include "util/fd_util.h"
#include "util/fixed_paths.h"
#include "util/unique_fd.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// More than any run file the supervisor writes (64 KiB); a larger one, left
// by something else, is read as its first line and its last part.
constexpr size_t READ_LIMIT = 1 << 20;
constexpr size_t HEAD_LIMIT = PATH_TEXT_SIZE + 1;
// How a worker's program path starts when it runs from the data directory.
constexpr char DATA_PREFIX[] = "../data//";
constexpr size_t DATA_PREFIX_LEN = sizeof DATA_PREFIX - 1;

bool read_at(int fd, char* buf, size_t len, off_t offset, size_t* got)
{
    *got = 0;
    while (*got < len) {
        ssize_t n = pread_retry(fd, buf + *got, len - *got, offset + static_cast<off_t>(*got));
        if (n < 0)
            return false;
        if (n == 0)
            break;
        *got += static_cast<size_t>(n);
    }
    return true;
}

bool read_run_file(InstanceStatus* st, int fd, off_t size)
{
    size_t whole = static_cast<size_t>(size);
    size_t head = whole > READ_LIMIT ? HEAD_LIMIT : whole;
    size_t tail = whole > READ_LIMIT ? READ_LIMIT / 2 : 0;
    st->text = static_cast<char*>(std::malloc(head + tail + 2));
    if (st->text == nullptr)
        return false;
    size_t got = 0;
    if (!read_at(fd, st->text, head, 0, &got))
        return false;
    st->text_len = got;
    if (tail > 0) {
        // Only the first line of the head is kept, then the newest lines.
        char* nl = static_cast<char*>(std::memchr(st->text, '\n', st->text_len));
        st->text_len = nl != nullptr ? static_cast<size_t>(nl - st->text) + 1 : 0;
        if (!read_at(fd, st->text + st->text_len, tail, size - static_cast<off_t>(tail), &got))
            return false;
        char* cut = static_cast<char*>(std::memchr(st->text + st->text_len, '\n', got));
        size_t skip = cut != nullptr ? static_cast<size_t>(cut - (st->text + st->text_len)) + 1 : got;
        std::memmove(st->text + st->text_len, st->text + st->text_len + skip, got - skip);
        st->text_len += got - skip;
    }
    st->text[st->text_len] = '\0';
    return true;
}

void find_supervisor(InstanceStatus* st, const struct stat& run)
{
    st->pid = flock_holder(run.st_dev, run.st_ino);
    bool zombie = false;
    if (st->pid > 0 && process_parent(st->pid, &zombie) >= 0 && !zombie) {
        st->running = true;
        st->started = process_start_time(st->pid);
    }
}

void find_children(InstanceStatus* st)
{
    if (!st->running)
        return;
    for_each_process([st](pid_t pid) {
        bool zombie = false;
        if (process_parent(pid, &zombie) != st->pid || zombie)
            return true;
        ChildProcess& c = st->children[st->child_count];
        c.pid = pid;
        c.args_len = process_cmdline(pid, c.args, sizeof c.args);
        if (c.args_len < 0)
            c.args_len = 0;
        process_comm(pid, c.comm, sizeof c.comm);
        c.started = process_start_time(pid);
        return ++st->child_count < MAX_CHILDREN;
    });
}

// Whether text names the program of worker base: "<base>" from the plug-in's
// directory, "../data//<base>" from the data directory.
bool names_program(const char* text, const char* base)
{
    if (std::strcmp(text, base) == 0)
        return true;
    return std::strncmp(text, DATA_PREFIX, DATA_PREFIX_LEN) == 0 && std::strcmp(text + DATA_PREFIX_LEN, base) == 0;
}

// A compiled worker shows the program path as argument zero; a script shows
// its interpreter first (and maybe the interpreter's option), then the path.
// On a match, notes where the worker's options start.
bool runs_program(ChildProcess* c, const char* base)
{
    const char* end = c->args + c->args_len;
    const char* p = c->args;
    for (int i = 0; i < 3 && p < end; ++i, p += std::strlen(p) + 1) {
        if (names_program(p, base)) {
            c->options_at = (p - c->args) + static_cast<long>(std::strlen(p)) + 1;
            return true;
        }
    }
    return false;
}

// The base name a child's program path gives, for a plug-in without a
// readable configuration; nullptr when none of its first texts is a path
// relative to the plug-in (an interpreter's path starts with '/').
const char* program_base(ChildProcess* c)
{
    const char* end = c->args + c->args_len;
    const char* p = c->args;
    for (int i = 0; i < 3 && p < end; ++i, p += std::strlen(p) + 1) {
        if (*p != '/' && *p != '-' && *p != '\0') {
            c->options_at = (p - c->args) + static_cast<long>(std::strlen(p)) + 1;
            return std::strncmp(p, DATA_PREFIX, DATA_PREFIX_LEN) == 0 ? p + DATA_PREFIX_LEN : p;
        }
    }
    return nullptr;
}

// The shell the watchdog runs for its kill command is no worker.
bool is_kill_shell(const ChildProcess& c)
{
    static const char shell[] = "sh\0-c\0killall ";
    return c.args_len > static_cast<long>(sizeof shell) && std::memcmp(c.args, shell, sizeof shell - 1) == 0;
}

void load_workers(InstanceStatus* st)
{
    std::array<char, PATH_TEXT_SIZE + 16> path;
    std::snprintf(path.data(), path.size(), "%s/config", st->directory);
    st->config_ok = st->directory[0] != '\0' && load_watch_config(path.data(), &st->config) == 0;
    if (st->config_ok) {
        for (int i = 0; i < st->config.process_count && i < MAX_PROCESSES; ++i) {
            WorkerStatus& w = st->workers[st->worker_count++];
            w.name = st->config.processes[i].name;
            w.keeps_alive = st->config.processes[i].alive_path[0] != '\0';
            std::snprintf(w.alive_path, sizeof w.alive_path, "%s", st->config.processes[i].alive_path);
        }
        return;
    }
    // Without a configuration, the workers are the programs the children run.
    for (int c = 0; c < st->child_count; ++c) {
        ChildProcess& child = st->children[c];
        const char* base = is_kill_shell(child) ? nullptr : program_base(&child);
        if (base == nullptr)
            continue;
        bool known = false;
        for (int i = 0; i < st->worker_count && !known; ++i)
            known = std::strcmp(st->workers[i].name, base) == 0;
        if (!known)
            st->workers[st->worker_count++].name = base;
    }
}

int restart_code_of(const ChildProcess& c)
{
    const char* end = c.args + c.args_len;
    for (const char* p = c.options_at >= 0 ? c.args + c.options_at : end; p < end; p += std::strlen(p) + 1)
        if (std::strcmp(p, "-r") == 0 && p + 3 < end)
            return std::atoi(p + 3);
    return 0;
}

bool has_option(const ChildProcess& c, const char* option)
{
    const char* end = c.args + c.args_len;
    for (const char* p = c.options_at >= 0 ? c.args + c.options_at : end; p < end; p += std::strlen(p) + 1)
        if (std::strcmp(p, option) == 0)
            return true;
    return false;
}

// Each child to the worker whose program it runs; with several, the newest
// is the worker and the others are copies that should not be there.
void match_children(InstanceStatus* st)
{
    for (int i = 0; i < st->worker_count; ++i) {
        WorkerStatus& w = st->workers[i];
        for (int c = 0; c < st->child_count; ++c) {
            ChildProcess& child = st->children[c];
            if (child.slot >= 0 || !runs_program(&child, w.name))
                continue;
            child.slot = i;
            if (w.child >= 0 && st->children[w.child].started <= child.started) {
                if (w.extra_count < MAX_EXTRA)
                    w.extra[w.extra_count++] = st->children[w.child].pid;
                w.child = c;
            } else if (w.child >= 0) {
                if (w.extra_count < MAX_EXTRA)
                    w.extra[w.extra_count++] = child.pid;
            } else {
                w.child = c;
            }
        }
    }
}

// A worker that exec'd another program no longer shows its name: when the
// unnamed children and the unmatched workers not waiting out a restart delay
// pair up exactly, they are taken to be those workers.
void match_renamed(InstanceStatus* st)
{
    auto candidate = [st](const WorkerStatus& w) { return w.child < 0 && !(w.restart_due > st->now); };
    int unnamed = 0, missing = 0;
    for (int c = 0; c < st->child_count; ++c)
        unnamed += st->children[c].slot < 0 && !is_kill_shell(st->children[c]);
    for (int i = 0; i < st->worker_count; ++i)
        missing += candidate(st->workers[i]);
    if (unnamed == 0 || unnamed != missing)
        return;
    int c = 0;
    for (int i = 0; i < st->worker_count; ++i) {
        if (!candidate(st->workers[i]))
            continue;
        while (st->children[c].slot >= 0 || is_kill_shell(st->children[c]))
            ++c;
        st->children[c].slot = i;
        st->workers[i].child = c++;
        st->workers[i].restart_due = -1;
    }
}

// When the reaping loop will start a worker that is down again, by the
// restart policy: nothing for ends that ask for a pass of all workers.
time_t restart_due(const InstanceStatus& st, const WorkerEnds& e)
{
    if (!st.running || !e.has_last || e.last_time < 0)
        return -1;
    if (e.last_kind == RunLineKind::exit && exit_action(e.last_code, 1) != ExitAction::restart_one)
        return -1;
    if (e.last_kind == RunLineKind::signal && e.last_code == 11)
        return e.last_time + segv_delay_for_count(st.summary.segv_total);
    return e.last_time + NORMAL_RESTART_DELAY;
}

void describe_workers(InstanceStatus* st)
{
    const char* names[MAX_PROCESSES + MAX_CHILDREN];
    for (int i = 0; i < st->worker_count; ++i)
        names[i] = st->workers[i].name;
    WorkerEnds ends[RUN_FILE_NAMES];
    int tallied = st->worker_count < RUN_FILE_NAMES ? st->worker_count : RUN_FILE_NAMES;
    summarize_run_file(st->text, st->text_len, names, tallied, ends, &st->summary);
    for (int i = 0; i < st->worker_count; ++i) {
        WorkerStatus& w = st->workers[i];
        if (i < tallied)
            w.ends = ends[i];
        struct stat alive;
        if (w.keeps_alive && stat(w.alive_path, &alive) == 0)
            w.alive_mtime = alive.st_mtime;
        if (w.child >= 0) {
            const ChildProcess& c = st->children[w.child];
            w.restart_code = restart_code_of(c);
            st->boot = has_option(c, "-T") ? 1 : (st->boot == 1 ? 1 : 0);
        } else {
            w.restart_due = restart_due(*st, w.ends);
        }
    }
}

void read_data_directory(InstanceStatus* st)
{
    std::array<char, PATH_TEXT_SIZE + 64> path;
    std::snprintf(path.data(), path.size(), "%s/%s/%s", st->directory, DATA_DIR, BOOT_RECORD_NAME);
    if (st->directory[0] != '\0')
        st->boot_record = load_json_file(path.data());
    std::snprintf(path.data(), path.size(), "%s/%s", UCI_DIR, UPGRADE_PACKAGE_NAME);
    struct stat package;
    if (stat(path.data(), &package) == 0 && S_ISREG(package.st_mode)) {
        st->has_package = true;
        st->package_bytes = static_cast<long long>(package.st_size);
        st->package_mtime = package.st_mtime;
    }
}

} // namespace

void instance_name(const char* operand, char* name, size_t size)
{
    const char* slash = std::strrchr(operand, '/');
    std::snprintf(name, size, "%s", slash != nullptr ? slash + 1 : operand);
}

bool gather_instance(const char* name, InstanceStatus* st)
{
    std::snprintf(st->name, sizeof st->name, "%s", name);
    std::snprintf(st->run_file, sizeof st->run_file, "%s%s.run", UCI_DIR, name);
    st->now = time(nullptr);
    unique_fd fd(open(st->run_file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat run;
    if (!fd || fstat(fd.get(), &run) != 0)
        return false;
    st->run_file_exists = true;
    if (!S_ISREG(run.st_mode))
        st->problem = "not a regular file";
    else if (!read_run_file(st, fd.get(), run.st_size))
        st->problem = "cannot be read";
    if (st->text == nullptr) {
        st->text = static_cast<char*>(std::calloc(1, 1));
        st->text_len = 0;
    }
    find_supervisor(st, run);
    find_children(st);
    const char* nl = static_cast<const char*>(std::memchr(st->text, '\n', st->text_len));
    size_t dir_len = nl != nullptr ? static_cast<size_t>(nl - st->text) : st->text_len;
    if (dir_len > 0 && dir_len < sizeof st->directory && st->text[0] == '/' &&
        std::memchr(st->text, '\0', dir_len) == nullptr)
        std::memcpy(st->directory, st->text, dir_len);
    load_workers(st);
    match_children(st);
    describe_workers(st);
    match_renamed(st);
    read_data_directory(st);
    return true;
}

void release_instance(InstanceStatus* st)
{
    std::free(st->text);
    st->text = nullptr;
}

int instance_exit_status(const InstanceStatus& st)
{
    if (!st.running)
        return 3;
    for (int i = 0; i < st.worker_count; ++i)
        if (st.workers[i].child < 0)
            return 1;
    return 0;
}
