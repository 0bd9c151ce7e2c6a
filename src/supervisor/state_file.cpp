#include "supervisor/state_file.h"

#include "supervisor/launcher.h"
#include "util/fd_util.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

Stamp now_stamp()
{
    Stamp s;
    s.real = static_cast<int64_t>(time(nullptr));
    struct timespec mono;
    if (clock_gettime(CLOCK_MONOTONIC, &mono) == 0)
        s.mono = static_cast<int64_t>(mono.tv_sec);
    return s;
}

// The facts are changed only under the lock, so that a write from the
// watchdog thread copies a consistent picture. A change that happens at a
// moment reads the clock once, before the lock; the file's "written" line
// then gives that moment too. Plain calls rather than a wrapper template:
// one copy of this code instead of one per kind of change.
__attribute__((noinline)) Stamp begin_change(SupervisorState* state)
{
    Stamp now = now_stamp();
    pthread_mutex_lock(&state->facts_lock);
    return now;
}

__attribute__((noinline)) void end_change(SupervisorState* state, const Stamp& now)
{
    state->facts.changed = now;
    pthread_mutex_unlock(&state->facts_lock);
}

bool valid_slot(const SupervisorState* state, int index)
{
    return index >= 0 && index < state->process_count && index < MAX_PROCESSES;
}

void count_end(SlotFacts* f, EndHow how, int code)
{
    for (EndCount& e : f->ends) {
        if (e.count != 0 && (e.how != static_cast<uint8_t>(how) || e.code != code))
            continue;
        e.how = static_cast<uint8_t>(how);
        e.code = static_cast<int16_t>(code);
        ++e.count;
        return;
    }
    ++f->other_ends;
}

// A buffered writer onto a file from its start; a failed write sticks.
struct Out {
    explicit Out(int descriptor) : fd(descriptor) {}
    int fd;
    bool failed = false;
    size_t len = 0;
    off_t written = 0;
    std::array<char, 1024> buf;

    void flush()
    {
        if (!failed && len > 0 && pwrite_all(fd, buf.data(), len, written) != 0)
            failed = true;
        written += static_cast<off_t>(len);
        len = 0;
    }
    void put(const char* text, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            if (len == buf.size())
                flush();
            buf[len++] = text[i];
        }
    }
    // The few conversions the file uses (%s, %d, %u, %lld, %llu), formatted
    // here: the C library's printf cost a restart more than the rest of the
    // text's making.
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        for (const char* p = format; *p != '\0'; ++p) {
            if (*p != '%') {
                put(p, 1);
                continue;
            }
            bool wide = *++p == 'l';
            p += wide ? 2 : 0;
            if (*p == 's') {
                const char* t = va_arg(args, const char*);
                put(t, std::strlen(t));
                continue;
            }
            long long v = wide ? va_arg(args, long long) : *p == 'u' ? va_arg(args, unsigned int) : va_arg(args, int);
            number(v);
        }
        va_end(args);
    }
    void number(long long v)
    {
        char digits[24];
        size_t n = sizeof digits;
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            digits[--n] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (v < 0)
            digits[--n] = '-';
        put(digits + n, sizeof digits - n);
    }
    // Every byte outside '!'..'~', and the backslash, as "\xHH".
    void text(const char* t)
    {
        static const char hex[] = "0123456789abcdef";
        for (; *t != '\0'; ++t) {
            auto u = static_cast<unsigned char>(*t);
            const char escaped[4] = {'\\', 'x', hex[u >> 4], hex[u & 15]};
            if (u > ' ' && u < 0x7f && u != '\\')
                put(t, 1);
            else
                put(escaped, sizeof escaped);
        }
    }
};

// " <real> <mono>": one place for the 64-bit pair, which costs code at
// every formatted print that passes it.
__attribute__((noinline)) void put_pair(Out& out, const Stamp& s)
{
    out.printf(" %lld %lld", static_cast<long long>(s.real), static_cast<long long>(s.mono));
}

void put_stamp(Out& out, const char* key, const Stamp& s)
{
    out.printf("%s", key);
    put_pair(out, s);
    out.put("\n", 1);
}

// " <time pair> <text>" and the line's end.
void put_text(Out& out, const Stamp& at, const char* text)
{
    put_pair(out, at);
    out.put(" ", 1);
    out.text(text);
    out.put("\n", 1);
}

// What a thread copies under the lock; the slots' texts are fixed after
// start-up and read in place.
struct Snapshot {
    InstanceFacts facts;
    SlotFacts slots[MAX_PROCESSES];
    int32_t pids[MAX_PROCESSES];
    uint32_t misses[MAX_PROCESSES];
};

void write_instance(Out& out, const Snapshot& s)
{
    const InstanceFacts& f = s.facts;
    out.printf("%s\n%s %s %s\n%s %d %llu\n", STATE_MAGIC, STATE_VERSION, RELEASE_VERSION, BUILTIN_VERSION, STATE_PID,
               static_cast<int>(f.pid), static_cast<unsigned long long>(f.start_ticks));
    put_stamp(out, STATE_STARTED, f.started);
    put_stamp(out, STATE_WRITTEN, f.changed);
    out.printf("%s %u", STATE_PASS, f.pass);
    put_pair(out, f.pass_started);
    out.put("\n", 1);
    out.printf("%s %d\n%s %d\n%s %u\n", STATE_DATA_DIR, f.data_dir, STATE_RESTART_CODE, f.restart_code,
               STATE_SEGV_COUNT, f.segv_count);
    if (f.delay_slot > 0) {
        out.printf("%s %d %u", STATE_DELAY, f.delay_slot - 1, f.delay_seconds);
        put_pair(out, f.delay_due);
        out.put("\n", 1);
    }
    if (f.refusals != 0) {
        out.printf("%s %u", STATE_REFUSED, f.refusals);
        put_text(out, f.refused_at, f.refusal);
    }
    if (f.record_deleted[0] != '\0') {
        out.printf("%s", STATE_RECORD_DELETED);
        put_text(out, f.record_deleted_at, f.record_deleted);
    }
    if (f.install_code != 0 && f.install_outcome < INSTALL_OUTCOME_COUNT) {
        out.printf("%s %d %s", STATE_INSTALL, f.install_code, INSTALL_OUTCOME_TEXTS[f.install_outcome]);
        put_pair(out, f.install_began);
        put_pair(out, f.install_ended);
        out.put("\n", 1);
    }
}

void write_worker(Out& out, const SupervisorState& state, const Snapshot& s, int i)
{
    const WatchedProcess& slot = state.processes[i];
    const SlotFacts& f = s.slots[i];
    out.printf("%s %d %s ", STATE_WORKER, i, STATE_NAME);
    out.text(slot.name);
    out.printf("\n%s %d %s %d\n", STATE_WORKER, i, STATE_WORKER_PID, static_cast<int>(s.pids[i]));
    if (f.started.real != 0 || f.started.mono != 0) {
        out.printf("%s %d %s", STATE_WORKER, i, STATE_START);
        put_pair(out, f.started);
        out.printf(" %d\n", f.start_code);
        WorkerArgv argv;
        build_worker_argv(slot.name, slot.alive_path, f.start_code, state.daemon_flag, s.facts.data_dir == 1 ? 1 : 0,
                          &argv);
        out.printf("%s %d %s", STATE_WORKER, i, STATE_OPTIONS);
        for (int a = 1; a < argv.argc; ++a) {
            out.put(" ", 1);
            out.text(argv.argv[a]);
        }
        out.put("\n", 1);
    }
    if (f.end_how != 0 && f.end_how < END_HOW_COUNT) {
        out.printf("%s %d %s", STATE_WORKER, i, STATE_END);
        put_pair(out, f.ended);
        out.printf(" %s %d\n", END_HOW_TEXTS[f.end_how], f.end_code);
    }
    out.printf("%s %d %s", STATE_WORKER, i, STATE_ENDS);
    for (const EndCount& e : f.ends)
        if (e.count != 0 && e.how < END_HOW_COUNT)
            out.printf(" %s:%d=%u", END_HOW_TEXTS[e.how], e.code, e.count);
    out.printf(" other=%u\n%s %d %s %u\n", f.other_ends, STATE_WORKER, i, STATE_MISSES, s.misses[i]);
}

// A name beside path that no one can foresee (and so plant first): the
// kernel's random bytes for this process, mixed with a count of names made.
// O_EXCL makes sure it is new.
void temporary_name(const char* path, char* out, size_t size)
{
    static std::atomic<uint32_t> made{0};
    uint32_t seed[4] = {};
    if (const void* random = reinterpret_cast<const void*>(getauxval(AT_RANDOM)))
        std::memcpy(seed, random, sizeof seed);
    uint32_t x = seed[0] ^ (made.fetch_add(1) * 0x9e3779b9U);
    x = (x ^ (x >> 16)) * 0x85ebca6bU ^ seed[1];
    x = (x ^ (x >> 13)) * 0xc2b2ae35U ^ seed[2];
    std::snprintf(out, size, "%s.%08x", path, x ^ (x >> 16) ^ seed[3]);
}

// Writes the whole text into fd from its start and cuts off what a longer
// earlier text left behind it; *len is the file's length, kept up to date.
bool fill(int fd, int32_t* len, const SupervisorState& state, const Snapshot& s, int count)
{
    Out out(fd);
    write_instance(out, s);
    for (int i = 0; i < count; ++i)
        write_worker(out, state, s, i);
    out.flush();
    if (out.failed || (out.written < *len && ftruncate(fd, out.written) != 0))
        return false;
    *len = static_cast<int32_t>(out.written);
    return true;
}

bool swap_names(const char* a, const char* b)
{
#ifdef SYS_renameat2
    return syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, 2 /* RENAME_EXCHANGE */) == 0;
#else
    (void)a;
    (void)b;
    errno = EINVAL;
    return false;
#endif
}

void close_state_files(SupervisorState* state)
{
    close(state->state_fd);
    close(state->spare_fd);
    state->files_kept = 0;
}

// Keeps fd, the file just renamed to the state file's name, and makes the
// spare beside it: later writes fill the spare and swap the two names, which
// costs a restart neither a new file nor the old one's removal. A reader
// still holding the swapped-out file sees it whole until the write after.
void keep_for_swapping(SupervisorState* state, int fd, int32_t len, const char* spare)
{
    int made = -1;
    for (int attempt = 0; made < 0 && attempt < 2; ++attempt) {
        made = open(spare, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        // Left by an earlier instance, or planted: never write into it.
        if (made < 0 && (errno != EEXIST || unlink(spare) != 0))
            break;
    }
    struct stat kept;
    struct stat made_stat;
    state->state_fd = fd;
    state->state_len = len;
    state->spare_fd = made;
    state->spare_len = 0;
    if (made < 0 || (state->facts.umask_takes_bits != 0 && fchmod(made, 0644) != 0) || fstat(fd, &kept) != 0 ||
        fstat(made, &made_stat) != 0) {
        close_state_files(state);
        return;
    }
    state->files_kept = 1;
    state->state_ino = kept.st_ino;
    state->spare_ino = made_stat.st_ino;
}

// Fills the spare and swaps it in. When that fails, the kept files are let
// go with the spare's name, and the caller makes a new file, as at first.
bool swap_in_spare(SupervisorState* state, const char* path, const char* spare, const Snapshot& s, int count)
{
    // Only our own spare is swapped in, never what someone put at its name.
    struct stat named;
    errno = 0;
    if (lstat(spare, &named) == 0 && named.st_ino == state->spare_ino &&
        fill(state->spare_fd, &state->spare_len, *state, s, count) && swap_names(spare, path)) {
        std::swap(state->state_fd, state->spare_fd);
        std::swap(state->state_len, state->spare_len);
        std::swap(state->state_ino, state->spare_ino);
        return true;
    }
    state->swap_refused = errno == EINVAL || errno == ENOSYS;
    close_state_files(state);
    unlink(spare);
    return false;
}

void write_state_file(SupervisorState* state)
{
    std::array<char, UCI_PATH_SIZE> path;
    std::array<char, UCI_PATH_SIZE> spare;
    if (!beside_run_file(state->run_file_path, STATE_FILE_SUFFIX, path.data(), path.size()) ||
        !beside_run_file(state->run_file_path, STATE_SPARE_SUFFIX, spare.data(), spare.size()))
        return;
    Snapshot s;
    pthread_mutex_lock(&state->facts_lock);
    s.facts = state->facts;
    int count = state->process_count < MAX_PROCESSES ? state->process_count : MAX_PROCESSES;
    for (int i = 0; i < count; ++i) {
        s.slots[i] = state->processes[i].facts;
        s.pids[i] = state->processes[i].pid;
        s.misses[i] = state->processes[i].miss_count;
    }
    pthread_mutex_unlock(&state->facts_lock);

    if (state->files_kept != 0 && swap_in_spare(state, path.data(), spare.data(), s, count))
        return;
    // A new file under a name no one can foresee, renamed over the name.
    std::array<char, UCI_PATH_SIZE + 16> tmp;
    int fd = -1;
    for (unsigned int attempt = 0; fd < 0 && attempt < 4; ++attempt) {
        temporary_name(path.data(), tmp.data(), tmp.size());
        fd = open(tmp.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            return;
    }
    if (fd < 0)
        return;
    int32_t len = 0;
    bool ok = fill(fd, &len, *state, s, count) && (s.facts.umask_takes_bits == 0 || fchmod(fd, 0644) == 0);
    if (!ok || rename(tmp.data(), path.data()) != 0) {
        unlink(tmp.data());
        close(fd);
    } else if (state->swap_refused != 0) {
        close(fd);
    } else {
        keep_for_swapping(state, fd, len, spare.data());
    }
}

} // namespace

bool beside_run_file(const char* run_file, const char* suffix, char* out, size_t size)
{
    size_t len = std::strlen(run_file);
    size_t run = sizeof RUN_FILE_SUFFIX - 1;
    if (len < run || std::strcmp(run_file + len - run, RUN_FILE_SUFFIX) != 0)
        return false;
    int n = std::snprintf(out, size, "%.*s%s", static_cast<int>(len - run), run_file, suffix);
    return n >= 0 && static_cast<size_t>(n) < size;
}

namespace {

// This process's start in clock ticks since boot (field 22 of its stat),
// which ties the state file to this very process without the wall clock,
// which a gateway without a real-time clock steps after boot. Read from the
// main thread's task entry, which a user-mode emulator passes through
// instead of answering with a stat of its own making.
uint64_t own_start_ticks()
{
    std::array<char, 512> stat{};
    std::array<char, 48> path;
    std::snprintf(path.data(), path.size(), "/proc/self/task/%d/stat", static_cast<int>(getpid()));
    const char* p = read_proc_file(path.data(), stat.data(), stat.size()) > 0 ? std::strrchr(stat.data(), ')') : nullptr;
    // The name ends with the last ')'; start time is the 20th field after it.
    for (int spaces = 0; p != nullptr && *p != '\0' && spaces < 20; ++p)
        spaces += *p == ' ';
    return p != nullptr ? leading_number(p) : 0;
}

} // namespace

void note_startup(SupervisorState* state)
{
    // Read once, before the watchdog thread exists: umask can only be read
    // by setting it.
    mode_t mask = umask(0);
    umask(mask);
    uint64_t ticks = own_start_ticks();
    Stamp now = begin_change(state);
    state->facts.started = now;
    state->facts.pid = static_cast<int32_t>(getpid());
    state->facts.start_ticks = ticks;
    state->facts.umask_takes_bits = (mask & 0644) != 0;
    end_change(state, now);
}

void note_pass(SupervisorState* state, const char* outdated)
{
    Stamp now = begin_change(state);
    if (outdated[0] != '\0') {
        state->facts.record_deleted_at = now;
        std::memcpy(state->facts.record_deleted, outdated, RECORD_VERSION_SIZE);
    }
    ++state->facts.pass;
    state->facts.pass_started = now;
    state->facts.data_dir = state->data_dir_mode;
    state->facts.delay_slot = 0;
    end_change(state, now);
}

void note_start(SupervisorState* state, int index, int restart_code)
{
    if (!valid_slot(state, index))
        return;
    Stamp now = begin_change(state);
    SlotFacts& f = state->processes[index].facts;
    f.started = now;
    f.start_code = restart_code;
    // The start ends the delay the slot waited out.
    if (state->facts.delay_slot == index + 1)
        state->facts.delay_slot = 0;
    end_change(state, now);
}

void note_end(SupervisorState* state, int index, int code, EndHow how, int cycle_code)
{
    if (!valid_slot(state, index))
        return;
    Stamp now = begin_change(state);
    SlotFacts& f = state->processes[index].facts;
    f.ended = now;
    f.end_how = static_cast<uint8_t>(how);
    f.end_code = code;
    count_end(&f, how, code);
    state->facts.restart_code = cycle_code;
    end_change(state, now);
}

void note_delay(SupervisorState* state, int index, unsigned int seconds)
{
    if (!valid_slot(state, index))
        return;
    // The delay runs from the end just noted: its stamp is the delay's start.
    pthread_mutex_lock(&state->facts_lock);
    InstanceFacts& f = state->facts;
    f.segv_count = state->segv_restart_count;
    f.delay_slot = index + 1;
    f.delay_seconds = seconds;
    f.delay_due = state->processes[index].facts.ended;
    f.delay_due.real += seconds;
    f.delay_due.mono += seconds;
    pthread_mutex_unlock(&state->facts_lock);
}

void note_refusal(SupervisorState* state, const char* why)
{
    Stamp now = begin_change(state);
    InstanceFacts& f = state->facts;
    ++f.refusals;
    f.refused_at = now;
    std::snprintf(f.refusal, sizeof f.refusal, "%s", why);
    end_change(state, now);
}

void note_install(SupervisorState* state, int code, InstallOutcome outcome)
{
    Stamp now = begin_change(state);
    InstanceFacts& f = state->facts;
    f.install_code = code;
    f.install_outcome = static_cast<uint8_t>(outcome);
    if (outcome == InstallOutcome::running) {
        // The next install ends the tale of a deleted record.
        f.record_deleted[0] = '\0';
        f.install_began = now;
        f.install_ended = Stamp{};
    } else {
        f.install_ended = now;
    }
    end_change(state, now);
}

void publish_state(SupervisorState* state)
{
    state->state_pending = 1;
    // Whoever holds state_busy writes until no request is left; a request
    // made just after its last look is taken up by the loop's second test.
    while (state->state_pending.load() != 0 && state->state_busy.exchange(1) == 0) {
        while (state->state_pending.exchange(0) != 0)
            write_state_file(state);
        state->state_busy = 0;
    }
}
