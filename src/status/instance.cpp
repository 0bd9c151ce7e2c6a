#include "status/instance.h"

#include "status/config_check.h"
#include "status/package_view.h"
#include "status/proc_scan.h"
#include "supervisor/config.h"
#include "util/fd_util.h"
#include "util/fixed_paths.h"
#include "util/shared_texts.h"
#include "util/unique_fd.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// More than any run file the supervisor writes (64 KiB); a larger one, left
// by something else, is read as its first line and its last part.
constexpr size_t READ_LIMIT = 1 << 20;
constexpr size_t HEAD_LIMIT = PATH_TEXT_SIZE + 1;
// The supervisor writes a few hundred bytes; more is not its file.
constexpr size_t STATE_READ_LIMIT = 64 * 1024;


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
    st->text.reset(static_cast<char*>(std::malloc(head + tail + 1)));
    char* text = st->text.get();
    size_t got = 0;
    if (text == nullptr || !read_at(fd, text, head, 0, &got))
        return false;
    st->text_len = got;
    if (tail > 0) {
        // Only the first line of the head is kept, then the newest lines.
        char* nl = static_cast<char*>(std::memchr(text, '\n', st->text_len));
        st->text_len = nl != nullptr ? static_cast<size_t>(nl - text) + 1 : 0;
        if (!read_at(fd, text + st->text_len, tail, size - static_cast<off_t>(tail), &got))
            return false;
        char* cut = static_cast<char*>(std::memchr(text + st->text_len, '\n', got));
        size_t skip = cut != nullptr ? static_cast<size_t>(cut - (text + st->text_len)) + 1 : got;
        std::memmove(text + st->text_len, text + st->text_len + skip, got - skip);
        st->text_len += got - skip;
    }
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
    pid_t kids[MAX_CHILDREN];
    int count = st->running ? process_children(st->pid, kids, MAX_CHILDREN) : 0;
    for (int i = 0; i < count; ++i) {
        bool zombie = false;
        if (process_parent(kids[i], &zombie) != st->pid || zombie)
            continue;
        ChildProcess& c = st->children[st->child_count++];
        c.pid = kids[i];
        c.args_len = process_cmdline(kids[i], c.args, sizeof c.args);
        c.args_len = c.args_len < 0 ? 0 : c.args_len;
        process_comm(kids[i], c.comm, sizeof c.comm);
    }
}

// Why the state file cannot be taken as the supervisor's word, or nullptr.
const char* state_file_problem(InstanceStatus* st, int fd)
{
    struct stat file;
    uid_t owner = 0;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode))
        return "not a regular file";
    // Whoever may write in /tmp/.uci/ can make a run file, hold its lock and
    // write a state file naming the lock's holder: the three must be of one
    // account, and that account root or the caller's.
    if (!process_owner(st->pid, &owner) || file.st_uid != owner || st->run_owner != owner)
        return "the run file, its lock holder and the state file are not of one account";
    if (owner != 0 && owner != getuid())
        return "kept by an account that is neither root nor yours";
    if (file.st_size > static_cast<off_t>(STATE_READ_LIMIT))
        return "too large";
    std::array<char, STATE_READ_LIMIT> text;
    size_t got = 0;
    if (!read_at(fd, text.data(), text.size(), 0, &got))
        return "cannot be read";
    parse_state_file(text.data(), got, &st->facts);
    if (!st->facts.magic)
        return "not a state file";
    // The pid, and the start in clock ticks since boot, which a step of the
    // wall clock never moves: a process that got the pid later started later.
    long long ticks = process_start_ticks(st->pid);
    if (st->facts.pid != st->pid || ticks < 0 || st->facts.start_ticks != ticks)
        return "written by another process";
    return nullptr;
}

bool still_named(const char* path, int fd)
{
    struct stat named;
    struct stat held;
    return stat(path, &named) == 0 && fstat(fd, &held) == 0 && named.st_ino == held.st_ino &&
           named.st_dev == held.st_dev;
}

void read_state_file(InstanceStatus* st)
{
    if (!st->running) {
        st->state_problem = "no supervisor runs";
        return;
    }
    // The supervisor swaps a refilled spare in at each write, and refills
    // the file it swapped out at the write after: what was read holds when
    // the name still names that file afterwards.
    for (int attempt = 0; attempt < 3; ++attempt) {
        unique_fd fd(open(st->state_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        st->state_problem = !fd ? "missing or unreadable" : state_file_problem(st, fd.get());
        if (!fd || still_named(st->state_path, fd.get()))
            break;
        st->facts = StateFacts();
    }
    st->trusted = st->state_problem == nullptr;
    if (!st->trusted)
        st->facts = StateFacts();
    const StateTime& written = st->facts.written;
    st->mono_ok = st->trusted && written.set && written.mono > 0 && written.mono <= st->now_mono;
}

// The text after "-A" among a worker's options, or nullptr.
const char* alive_option(const StateWorker& w)
{
    const char* p = w.options;
    const char* end = w.options + w.options_len;
    for (; p < end; p += std::strlen(p) + 1)
        if (std::strcmp(p, "-A") == 0 && p + 3 < end)
            return p + 3;
    return nullptr;
}

int child_with_pid(const InstanceStatus& st, long long pid)
{
    for (int c = 0; c < st.child_count; ++c)
        if (st.children[c].pid == pid)
            return c;
    return -1;
}

WorkerState state_of(InstanceStatus* st, int i)
{
    const StateWorker& w = st->facts.workers[i];
    WorkerStatus& out = st->workers[i];
    if (w.has_pid && w.pid > 0) {
        out.child = child_with_pid(*st, w.pid);
        if (out.child >= 0) {
            st->children[out.child].worker = i;
            return WorkerState::up;
        }
        // Ended, and not yet collected: the reaping loop is sleeping out
        // another worker's delay.
        bool zombie = false;
        if (process_parent(static_cast<pid_t>(w.pid), &zombie) == st->pid && zombie)
            return WorkerState::ended;
        return WorkerState::down;
    }
    if (w.has_pid && w.pid == 0 && st->facts.delay && st->facts.delay_slot == i)
        return WorkerState::waiting;
    if (w.has_pid && w.pid == 0 && st->facts.install &&
        st->facts.install_outcome == static_cast<int>(InstallOutcome::running))
        return WorkerState::installing;
    return WorkerState::down;
}

void load_workers(InstanceStatus* st)
{
    std::array<char, PATH_TEXT_SIZE + 16> path;
    std::snprintf(path.data(), path.size(), "%s/config", st->directory);
    if (st->directory[0] != '\0')
        st->config = read_config(path.data(), st->config_problem, sizeof st->config_problem);
    if (st->trusted) {
        st->worker_count = st->facts.worker_count;
        for (int i = 0; i < st->worker_count; ++i) {
            WorkerStatus& w = st->workers[i];
            w.facts = &st->facts.workers[i];
            w.name = w.facts->name;
            w.state = state_of(st, i);
            w.alive_path = alive_option(*w.facts);
        }
        return;
    }
    // Without the supervisor's word only the names are known, from config
    // as the supervisor reads it (no list: the default worker).
    int count = 0;
    const cJSON* list = st->config ? watch_entries(st->config.get(), &count) : nullptr;
    for (int i = 0; st->config && i < (count > 0 ? count : 1) && i < MAX_PROCESSES; ++i) {
        WorkerStatus& w = st->workers[st->worker_count++];
        w.name = count > 0 ? json_get_string(cJSON_GetArrayItem(list, i), "base") : DEFAULT_PROCESS_NAME;
        w.state = st->running ? WorkerState::unknown : WorkerState::down;
    }
}

// Whether text names the program of worker base: "<base>" from the plug-in's
// directory, "../data//<base>" from the data directory.
bool names_program(const char* text, const char* base)
{
    size_t n = sizeof DATA_PROGRAM_PREFIX - 1;
    if (std::strcmp(text, base) == 0)
        return true;
    return std::strncmp(text, DATA_PROGRAM_PREFIX, n) == 0 && std::strcmp(text + n, base) == 0;
}

// A compiled worker shows the program path as argument zero; a script shows
// its interpreter first (and maybe the interpreter's option), then the path.
bool runs_program(const ChildProcess& c, const char* base)
{
    const char* end = c.args + c.args_len;
    const char* p = c.args;
    for (int i = 0; i < 3 && p < end; ++i, p += std::strlen(p) + 1)
        if (names_program(p, base))
            return true;
    return false;
}

// Children that run a worker's program under another pid than the one the
// supervisor started: copies that should not be there.
void find_extra_copies(InstanceStatus* st)
{
    // Without the supervisor's word no child can be told from a copy.
    if (!st->trusted)
        return;
    for (int c = 0; c < st->child_count; ++c) {
        ChildProcess& child = st->children[c];
        for (int i = 0; child.worker < 0 && i < st->worker_count; ++i) {
            WorkerStatus& w = st->workers[i];
            if (w.name == nullptr || !runs_program(child, w.name))
                continue;
            child.worker = i;
            if (w.extra_count < MAX_EXTRA)
                w.extra[w.extra_count++] = child.pid;
        }
    }
}

void read_alive_files(InstanceStatus* st)
{
    for (int i = 0; i < st->worker_count; ++i) {
        WorkerStatus& w = st->workers[i];
        struct stat alive;
        if (w.alive_path != nullptr && stat(w.alive_path, &alive) == 0)
            w.alive_mtime = alive.st_mtime;
    }
}

void read_data_directory(InstanceStatus* st)
{
    std::array<char, PATH_TEXT_SIZE + 64> path;
    std::snprintf(path.data(), path.size(), "%s/%s/%s", st->directory, DATA_DIR, BOOT_RECORD_NAME);
    if (st->directory[0] != '\0')
        st->boot_record = load_json_file(path.data());
    read_package(st);
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
    std::snprintf(st->run_file, sizeof st->run_file, "%s%s%s", UCI_DIR, name, RUN_FILE_SUFFIX);
    std::snprintf(st->state_path, sizeof st->state_path, "%s%s%s", UCI_DIR, name, STATE_FILE_SUFFIX);
    st->now = time(nullptr);
    struct timespec mono;
    if (clock_gettime(CLOCK_MONOTONIC, &mono) == 0)
        st->now_mono = static_cast<long long>(mono.tv_sec);
    unique_fd fd(open(st->run_file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat run;
    if (!fd || fstat(fd.get(), &run) != 0)
        return false;
    if (!S_ISREG(run.st_mode))
        st->problem = "not a regular file";
    else if (!read_run_file(st, fd.get(), run.st_size))
        st->problem = "cannot be read";
    summarize_run_file(st->text.get(), st->text_len, &st->summary);
    const char* dir = st->summary.directory;
    size_t dir_len = st->summary.directory_len;
    if (dir_len > 0 && dir_len < sizeof st->directory && dir[0] == '/' && std::memchr(dir, '\0', dir_len) == nullptr)
        std::memcpy(st->directory, dir, dir_len);
    st->run_owner = run.st_uid;
    find_supervisor(st, run);
    find_children(st);
    read_state_file(st);
    load_workers(st);
    find_extra_copies(st);
    read_alive_files(st);
    read_data_directory(st);
    return true;
}

int instance_exit_status(const InstanceStatus& st)
{
    if (!st.running)
        return 3;
    for (int i = 0; i < st.worker_count; ++i)
        if (st.workers[i].state != WorkerState::up)
            return 1;
    return 0;
}

long long epoch_of(const InstanceStatus& st, const StateTime& t)
{
    return st.mono_ok ? static_cast<long long>(st.now) - (st.now_mono - t.mono) : t.real;
}

void check_shared_dir(SharedDir* dir)
{
    struct stat s;
    if (lstat(UCI_DIR, &s) != 0)
        return;
    dir->present = true;
    dir->link = S_ISLNK(s.st_mode);
    dir->owner = s.st_uid;
    dir->mode = static_cast<unsigned int>(s.st_mode & 07777);
    if (dir->link)
        dir->warnings[dir->warning_count++] = "a symbolic link";
    if (s.st_uid != 0 && s.st_uid != geteuid())
        dir->warnings[dir->warning_count++] = "owned by another account";
    if ((s.st_mode & S_IWOTH) != 0 && (s.st_mode & S_ISVTX) == 0)
        dir->warnings[dir->warning_count++] = "writable by others without the sticky bit";
}

const char* worker_state_text(WorkerState state)
{
    static const char* const texts[] = {"up", "waiting", "ended", "installing", "down", "unknown"};
    return texts[static_cast<int>(state)];
}
