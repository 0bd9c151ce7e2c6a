#include "status/report.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

const char* end_kind(RunLineKind kind)
{
    switch (kind) {
    case RunLineKind::exit:
        return "exit";
    case RunLineKind::signal:
        return "signal";
    case RunLineKind::watchdog:
        return "watchdog";
    default:
        return nullptr;
    }
}

const char* short_kind(RunLineKind kind)
{
    return kind == RunLineKind::signal ? "sig" : kind == RunLineKind::watchdog ? "watchdog" : "exit";
}

long long age(const InstanceStatus& st, time_t then)
{
    return static_cast<long long>(st.now - then);
}

// "13:05:09" of a local time; the date is left out on the console.
std::array<char, 32> clock_text(time_t t)
{
    std::array<char, 32> text{};
    struct tm local;
    if (t >= 0 && localtime_r(&t, &local) != nullptr)
        strftime(text.data(), text.size(), "%H:%M:%S", &local);
    return text;
}

void print_ends(const WorkerEnds& e)
{
    bool any = false;
    for (int code = 0; code < 256; ++code)
        if (e.exits[code] != 0) {
            std::printf("%s exit %d x%u", any ? "," : "; ends", code, e.exits[code]);
            any = true;
        }
    for (int sig = 0; sig < 65; ++sig)
        if (e.signals[sig] != 0) {
            std::printf("%s sig %d x%u", any ? "," : "; ends", sig, e.signals[sig]);
            any = true;
        }
    if (e.watchdog != 0)
        std::printf("%s watchdog x%u", any ? "," : "; ends", e.watchdog);
}

void print_worker(const InstanceStatus& st, const WorkerStatus& w)
{
    std::printf("  %-12s", w.name);
    if (w.child >= 0) {
        const ChildProcess& c = st.children[w.child];
        std::printf(" up (pid %d) %llds", static_cast<int>(c.pid), age(st, c.started));
        if (w.restart_code != 0)
            std::printf(", -r %d", w.restart_code);
        if (c.options_at < 0)
            std::printf(", runs as %s", c.comm);
    } else {
        std::printf(" down");
        if (w.ends.has_last)
            std::printf(" since %s (%s %d)", clock_text(w.ends.last_time).data(), short_kind(w.ends.last_kind),
                        w.ends.last_code);
        if (w.restart_due >= 0)
            std::printf(", due %s", clock_text(w.restart_due).data());
    }
    if (w.keeps_alive && w.alive_mtime >= 0)
        std::printf(", alive %llds ago", age(st, w.alive_mtime));
    else if (w.keeps_alive)
        std::printf(", alive file missing");
    print_ends(w.ends);
    for (int i = 0; i < w.extra_count; ++i)
        std::printf("%s%d", i == 0 ? "; EXTRA COPIES: pid " : ", ", static_cast<int>(w.extra[i]));
    std::printf("\n");
}

// A run-file line for a console: control characters (a binary file, an
// escape sequence) become '?'.
void print_line(const char* indent, const char* text, size_t len)
{
    std::fputs(indent, stdout);
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::putchar(c < 0x20 || c == 0x7f ? '?' : c);
    }
    std::putchar('\n');
}

} // namespace

void print_instance(const InstanceStatus& st)
{
    if (st.running)
        std::printf("%s: run (pid %d) %llds, since %s\n", st.name, static_cast<int>(st.pid), age(st, st.started),
                    clock_text(st.started).data());
    else
        std::printf("%s: down (run file %s left behind)\n", st.name, st.run_file);
    if (st.problem != nullptr)
        std::printf("  run file %s: %s\n", st.run_file, st.problem);
    if (st.directory[0] != '\0')
        print_line("  directory ", st.directory, std::strlen(st.directory));
    else
        std::printf("  directory (unknown)\n");
    json_text record(st.boot_record ? cJSON_PrintUnformatted(st.boot_record.get()) : nullptr);
    std::printf("  boot %s; bootchk %s", st.boot == 1 ? "data" : st.boot == 0 ? "files" : "unknown",
                record ? record.get() : "none");
    if (st.has_package)
        std::printf("; package %lld bytes, %llds old\n", st.package_bytes, age(st, st.package_mtime));
    else
        std::printf("; no package\n");
    if (!st.config_ok)
        std::printf("  config unreadable: workers as the running children show them\n");
    for (int i = 0; i < st.worker_count; ++i)
        print_worker(st, st.workers[i]);
    for (int c = 0; c < st.child_count; ++c)
        if (st.children[c].slot < 0)
            std::printf("  other child: pid %d (%s)\n", static_cast<int>(st.children[c].pid), st.children[c].comm);
    if (st.summary.dropped_at >= 0)
        std::printf("  events before %s were dropped\n", clock_text(st.summary.dropped_at).data());
    if (st.summary.tail_count > 0)
        std::printf("  last events:\n");
    for (int i = 0; i < st.summary.tail_count; ++i)
        print_line("    ", st.text + st.summary.tail_start[i], st.summary.tail_len[i]);
}

namespace {

cJSON* number_or_null(long long value, bool present)
{
    return present ? cJSON_CreateNumber(static_cast<double>(value)) : cJSON_CreateNull();
}

cJSON* options_json(const ChildProcess& c)
{
    cJSON* list = cJSON_CreateArray();
    const char* end = c.args + c.args_len;
    const char* p = c.args + (c.options_at >= 0 ? c.options_at : c.args_len);
    for (; list != nullptr && p < end; p += std::strlen(p) + 1)
        cJSON_AddItemToArray(list, cJSON_CreateString(p));
    return list;
}

cJSON* ends_json(const WorkerEnds& e)
{
    cJSON* ends = cJSON_CreateObject();
    cJSON* exits = cJSON_AddObjectToObject(ends, "exit");
    cJSON* signals = cJSON_AddObjectToObject(ends, "signal");
    std::array<char, 16> key;
    for (int code = 0; code < 256; ++code)
        if (e.exits[code] != 0 && exits != nullptr) {
            std::snprintf(key.data(), key.size(), "%d", code);
            cJSON_AddNumberToObject(exits, key.data(), e.exits[code]);
        }
    for (int sig = 0; sig < 65; ++sig)
        if (e.signals[sig] != 0 && signals != nullptr) {
            std::snprintf(key.data(), key.size(), "%d", sig);
            cJSON_AddNumberToObject(signals, key.data(), e.signals[sig]);
        }
    cJSON_AddNumberToObject(ends, "watchdog", e.watchdog);
    return ends;
}

cJSON* last_end_json(const WorkerEnds& e)
{
    if (!e.has_last)
        return cJSON_CreateNull();
    cJSON* last = cJSON_CreateObject();
    cJSON_AddItemToObject(last, "time", number_or_null(e.last_time, e.last_time >= 0));
    cJSON_AddStringToObject(last, "how", end_kind(e.last_kind));
    cJSON_AddNumberToObject(last, "code", e.last_code);
    return last;
}

cJSON* worker_json(const InstanceStatus& st, const WorkerStatus& w)
{
    cJSON* o = cJSON_CreateObject();
    const ChildProcess* c = w.child >= 0 ? &st.children[w.child] : nullptr;
    cJSON_AddStringToObject(o, "name", w.name);
    cJSON_AddStringToObject(o, "state", c != nullptr ? "up" : "down");
    cJSON_AddItemToObject(o, "pid", number_or_null(c ? c->pid : 0, c != nullptr));
    cJSON_AddItemToObject(o, "started", number_or_null(c ? c->started : 0, c != nullptr && c->started >= 0));
    cJSON_AddItemToObject(o, "options", c != nullptr ? options_json(*c) : cJSON_CreateArray());
    cJSON_AddItemToObject(o, "runs_as", c != nullptr ? cJSON_CreateString(c->comm) : cJSON_CreateNull());
    cJSON_AddNumberToObject(o, "restart_code", w.restart_code);
    if (w.keeps_alive) {
        cJSON* alive = cJSON_AddObjectToObject(o, "alive_file");
        cJSON_AddStringToObject(alive, "path", w.alive_path);
        cJSON_AddItemToObject(alive, "age", number_or_null(age(st, w.alive_mtime), w.alive_mtime >= 0));
    } else {
        cJSON_AddNullToObject(o, "alive_file");
    }
    cJSON_AddItemToObject(o, "last_end", last_end_json(w.ends));
    cJSON_AddItemToObject(o, "ends", ends_json(w.ends));
    cJSON_AddItemToObject(o, "restart_due", number_or_null(w.restart_due, w.restart_due >= 0));
    cJSON* extra = cJSON_AddArrayToObject(o, "extra_pids");
    for (int i = 0; i < w.extra_count && extra != nullptr; ++i)
        cJSON_AddItemToArray(extra, cJSON_CreateNumber(w.extra[i]));
    return o;
}

} // namespace

cJSON* instance_json(const InstanceStatus& st)
{
    cJSON* o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddStringToObject(o, "name", st.name);
    cJSON_AddStringToObject(o, "run_file", st.run_file);
    cJSON_AddBoolToObject(o, "running", st.running);
    cJSON_AddItemToObject(o, "pid", number_or_null(st.pid, st.running));
    cJSON_AddItemToObject(o, "started", number_or_null(st.started, st.running && st.started >= 0));
    cJSON_AddItemToObject(o, "directory", st.directory[0] ? cJSON_CreateString(st.directory) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "boot", st.boot < 0 ? cJSON_CreateNull()
                                                 : cJSON_CreateString(st.boot == 1 ? "data" : "files"));
    cJSON_AddItemToObject(o, "boot_record",
                          st.boot_record ? cJSON_Duplicate(st.boot_record.get(), 1) : cJSON_CreateNull());
    if (st.has_package) {
        cJSON* package = cJSON_AddObjectToObject(o, "package");
        cJSON_AddNumberToObject(package, "bytes", static_cast<double>(st.package_bytes));
        cJSON_AddNumberToObject(package, "mtime", static_cast<double>(st.package_mtime));
    } else {
        cJSON_AddNullToObject(o, "package");
    }
    cJSON_AddBoolToObject(o, "config_read", st.config_ok);
    cJSON_AddItemToObject(o, "events_dropped_before",
                          number_or_null(st.summary.dropped_at, st.summary.dropped_at >= 0));
    cJSON* workers = cJSON_AddArrayToObject(o, "workers");
    for (int i = 0; i < st.worker_count && workers != nullptr; ++i)
        cJSON_AddItemToArray(workers, worker_json(st, st.workers[i]));
    cJSON* others = cJSON_AddArrayToObject(o, "other_pids");
    for (int c = 0; c < st.child_count && others != nullptr; ++c)
        if (st.children[c].slot < 0)
            cJSON_AddItemToArray(others, cJSON_CreateNumber(st.children[c].pid));
    return o;
}
