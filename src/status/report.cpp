#include "status/report.h"

#include "status/inert.h"
#include "util/shared_texts.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Inert copies of outside texts, a few alive at a time for one printf.
constexpr size_t SHOWN_SIZE = 4 * PATH_TEXT_SIZE + 8;
char g_shown[4][SHOWN_SIZE];
int g_next_shown = 0;

const char* shown(const char* text, size_t len)
{
    char* out = g_shown[g_next_shown];
    g_next_shown = (g_next_shown + 1) % 4;
    inert_text(text, len, out, SHOWN_SIZE);
    return out;
}

const char* shown(const char* text)
{
    return shown(text, std::strlen(text));
}

// A JSON string of an outside text: always valid UTF-8.
cJSON* json_text_of(const char* text)
{
    static char buf[SHOWN_SIZE];
    utf8_text(text, std::strlen(text), buf, sizeof buf);
    return cJSON_CreateString(buf);
}

long long age(const InstanceStatus& st, time_t then)
{
    return static_cast<long long>(st.now - then);
}

// "13:05:09" of a local time; the date is left out on the console.
std::array<char, 32> clock_text(long long t)
{
    std::array<char, 32> text{};
    struct tm local;
    auto when = static_cast<time_t>(t);
    if (t >= 0 && localtime_r(&when, &local) != nullptr)
        strftime(text.data(), text.size(), "%H:%M:%S", &local);
    return text;
}

const char* short_how(int how)
{
    return how == static_cast<int>(EndHow::signal) ? "sig" : how == static_cast<int>(EndHow::watchdog) ? "watchdog"
                                                                                                         : "exit";
}

void print_ends(const StateWorker& f)
{
    bool any = false;
    for (int i = 0; i < f.end_kinds; ++i) {
        const StateEnd& e = f.ends[i];
        if (e.how == static_cast<int>(EndHow::watchdog))
            std::printf("%s watchdog x%u", any ? "," : "; ends", e.count);
        else
            std::printf("%s %s %d x%u", any ? "," : "; ends", short_how(e.how), e.code, e.count);
        any = true;
    }
    if (f.other_ends != 0)
        std::printf("%s other x%u", any ? "," : "; ends", f.other_ends);
}

void print_worker(const InstanceStatus& st, const WorkerStatus& w)
{
    std::printf("  %-12s %s", shown(w.name), worker_state_text(w.state));
    const StateWorker* f = w.facts;
    if (w.state == WorkerState::up && f != nullptr) {
        const ChildProcess& c = st.children[w.child];
        std::printf(" (pid %d) %llds", static_cast<int>(c.pid), st.now - epoch_of(st, f->started));
        if (f->start_code != 0)
            std::printf(", -r %d", f->start_code);
        // The kernel keeps the first 15 characters of the program's name.
        const char* slash = std::strrchr(w.name, '/');
        if (std::strncmp(c.comm, slash != nullptr ? slash + 1 : w.name, 15) != 0)
            std::printf(", runs as %s", shown(c.comm));
    } else if (w.state == WorkerState::ended && f != nullptr) {
        std::printf(" (pid %lld), not yet collected", f->pid);
    } else if (f != nullptr) {
        if (f->ended.set)
            std::printf(" since %s (%s %d)", clock_text(epoch_of(st, f->ended)).data(), short_how(f->end_how),
                        f->end_code);
        if (w.state == WorkerState::waiting)
            std::printf(", due in %llds", epoch_of(st, st.facts.delay_due) - st.now);
    }
    if (w.alive_path != nullptr && w.alive_mtime >= 0)
        std::printf(", alive %llds ago", age(st, w.alive_mtime));
    else if (w.alive_path != nullptr)
        std::printf(", alive file missing");
    if (f != nullptr && f->misses != 0)
        std::printf(", %u missed", f->misses);
    if (f != nullptr)
        print_ends(*f);
    for (int i = 0; i < w.extra_count; ++i)
        std::printf("%s%d", i == 0 ? "; EXTRA COPIES: pid " : ", ", static_cast<int>(w.extra[i]));
    std::printf("\n");
}

void print_supervisor_facts(const InstanceStatus& st)
{
    if (st.running && !st.trusted)
        std::printf("  state file %s: %s; workers unknown\n", shown(st.state_path), st.state_problem);
    if (!st.trusted)
        return;
    const StateFacts& f = st.facts;
    std::printf("  pass %lu since %s, restart code %d, segv restarts %lu\n", f.pass,
                clock_text(epoch_of(st, f.pass_started)).data(), f.restart_code, f.segv_count);
    if (f.install) {
        const char* outcome = f.install_outcome >= 0 ? INSTALL_OUTCOME_TEXTS[f.install_outcome] : "unknown";
        std::printf("  install (exit %d) at %s: %s\n", f.install_code,
                    clock_text(epoch_of(st, f.install_began)).data(), outcome);
    }
    std::printf("  plugwatch %s, version stamp %s\n", shown(f.release[0] ? f.release : "unknown"),
                shown(f.version_stamp[0] ? f.version_stamp : "unknown"));
    if (f.record_deleted[0] != '\0')
        std::printf("  WARNING: boot-check record of version %s deleted at %s, older than this plugwatch: "
                    "the upgrade it named was abandoned\n",
                    shown(f.record_deleted), clock_text(epoch_of(st, f.record_deleted_at)).data());
}

void print_boot(const InstanceStatus& st)
{
    json_text record(st.boot_record ? cJSON_PrintUnformatted(st.boot_record.get()) : nullptr);
    const char* boot = !st.trusted ? "unknown" : st.facts.data_dir == 1 ? "data" : "files";
    std::printf("  boot %s; bootchk %s", boot, record ? shown(record.get()) : "none");
    if (st.has_package)
        std::printf("; package %lld bytes, %llds old\n", st.package_bytes, age(st, st.package_mtime));
    else
        std::printf("; no package\n");
}

void print_package(const InstanceStatus& st)
{
    std::printf("  package path %s\n", shown(st.own_package));
    if (st.package_misfit[0] == '\0')
        return;
    std::printf("  WARNING: package %s would be refused: %s", shown(st.package_path), shown(st.package_misfit));
    if (st.package_owner[0] != '\0')
        std::printf("; it fits %s", shown(st.package_owner));
    std::printf("\n");
}

} // namespace

void print_config_refused(const char* path, const char* why)
{
    std::fprintf(stderr, "plugwatch-status: config %s refused: %s (plugwatch stops at start-up with "
                         "\"failed to init daemon\")\n",
                 shown(path), shown(why));
}

void print_shared_dir(const SharedDir& dir)
{
    for (int i = 0; i < dir.warning_count; ++i)
        std::printf("WARNING: %s is %s (owner uid %u, mode %04o)\n", UCI_DIR, dir.warnings[i],
                    static_cast<unsigned>(dir.owner), dir.mode);
}

void print_instance(const InstanceStatus& st)
{
    if (st.running)
        std::printf("%s: run (pid %d) %llds, since %s\n", shown(st.name), static_cast<int>(st.pid),
                    age(st, st.started), clock_text(st.started).data());
    else
        std::printf("%s: down (run file %s left behind)\n", shown(st.name), shown(st.run_file));
    if (st.problem != nullptr)
        std::printf("  run file %s: %s\n", shown(st.run_file), st.problem);
    std::printf("  directory %s\n", st.directory[0] != '\0' ? shown(st.directory) : "(unknown)");
    print_boot(st);
    print_supervisor_facts(st);
    print_package(st);
    if (!st.config && !st.trusted)
        std::printf("  config unreadable (%s): workers unknown\n", shown(st.config_problem));
    else if (st.config_problem[0] != '\0')
        std::printf("  config refused (%s): the next start of this plug-in fails\n", shown(st.config_problem));
    for (int i = 0; i < st.worker_count; ++i)
        print_worker(st, st.workers[i]);
    for (int c = 0; c < st.child_count; ++c)
        if (st.children[c].worker < 0)
            std::printf("  other child: pid %d (%s)\n", static_cast<int>(st.children[c].pid),
                        shown(st.children[c].comm));
    if (st.facts.refusals != 0)
        std::printf("  REFUSED PACKAGES: %lu, the last at %s: %s\n", st.facts.refusals,
                    clock_text(epoch_of(st, st.facts.refused_at)).data(), shown(st.facts.refusal));
    if (st.summary.dropped_at >= 0)
        std::printf("  events before %s were dropped\n", clock_text(st.summary.dropped_at).data());
    if (st.summary.tail_count > 0)
        std::printf("  last events:\n");
    for (int i = 0; i < st.summary.tail_count; ++i)
        std::printf("    %s\n", shown(st.text.get() + st.summary.tail_start[i], st.summary.tail_len[i]));
}

namespace {

cJSON* number_or_null(long long value, bool present)
{
    return present ? cJSON_CreateNumber(static_cast<double>(value)) : cJSON_CreateNull();
}

cJSON* time_or_null(const InstanceStatus& st, const StateTime& t)
{
    return number_or_null(epoch_of(st, t), t.set);
}

cJSON* options_json(const StateWorker& f)
{
    cJSON* list = cJSON_CreateArray();
    const char* end = f.options + f.options_len;
    for (const char* p = f.options; list != nullptr && p < end; p += std::strlen(p) + 1)
        cJSON_AddItemToArray(list, json_text_of(p));
    return list;
}

cJSON* ends_json(const StateWorker* f)
{
    cJSON* ends = cJSON_CreateObject();
    cJSON* exits = cJSON_AddObjectToObject(ends, "exit");
    cJSON* signals = cJSON_AddObjectToObject(ends, "signal");
    uint32_t watchdog = 0;
    std::array<char, 16> key;
    for (int i = 0; f != nullptr && i < f->end_kinds; ++i) {
        const StateEnd& e = f->ends[i];
        std::snprintf(key.data(), key.size(), "%d", e.code);
        if (e.how == static_cast<int>(EndHow::watchdog))
            watchdog += e.count;
        else
            cJSON_AddNumberToObject(e.how == static_cast<int>(EndHow::exit) ? exits : signals, key.data(), e.count);
    }
    cJSON_AddNumberToObject(ends, "watchdog", watchdog);
    cJSON_AddNumberToObject(ends, "other", f != nullptr ? f->other_ends : 0);
    return ends;
}

cJSON* last_end_json(const InstanceStatus& st, const StateWorker* f)
{
    if (f == nullptr || !f->ended.set || f->end_how <= 0)
        return cJSON_CreateNull();
    cJSON* last = cJSON_CreateObject();
    cJSON_AddItemToObject(last, "time", time_or_null(st, f->ended));
    cJSON_AddStringToObject(last, "how", END_HOW_TEXTS[f->end_how]);
    cJSON_AddNumberToObject(last, "code", f->end_code);
    return last;
}

cJSON* worker_json(const InstanceStatus& st, const WorkerStatus& w)
{
    cJSON* o = cJSON_CreateObject();
    const StateWorker* f = w.facts;
    bool up = w.state == WorkerState::up;
    bool has_pid = up || w.state == WorkerState::ended;
    bool waiting = w.state == WorkerState::waiting;
    cJSON_AddItemToObject(o, "name", json_text_of(w.name));
    cJSON_AddStringToObject(o, "state", worker_state_text(w.state));
    cJSON_AddItemToObject(o, "pid", number_or_null(f != nullptr ? f->pid : 0, has_pid));
    cJSON_AddItemToObject(o, "started", has_pid ? time_or_null(st, f->started) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "options", has_pid ? options_json(*f) : cJSON_CreateArray());
    cJSON_AddItemToObject(o, "runs_as", up ? json_text_of(st.children[w.child].comm) : cJSON_CreateNull());
    cJSON_AddNumberToObject(o, "restart_code", f != nullptr ? f->start_code : 0);
    if (w.alive_path != nullptr) {
        cJSON* alive = cJSON_AddObjectToObject(o, "alive_file");
        cJSON_AddItemToObject(alive, "path", json_text_of(w.alive_path));
        cJSON_AddItemToObject(alive, "age", number_or_null(age(st, w.alive_mtime), w.alive_mtime >= 0));
    } else {
        cJSON_AddNullToObject(o, "alive_file");
    }
    cJSON_AddItemToObject(o, "last_end", last_end_json(st, f));
    cJSON_AddItemToObject(o, "ends", ends_json(f));
    cJSON_AddItemToObject(o, "restart_due", waiting ? time_or_null(st, st.facts.delay_due) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "due_in", number_or_null(epoch_of(st, st.facts.delay_due) - st.now, waiting));
    cJSON_AddItemToObject(o, "misses", number_or_null(f != nullptr ? f->misses : 0, f != nullptr));
    cJSON* extra = cJSON_AddArrayToObject(o, "extra_pids");
    for (int i = 0; i < w.extra_count && extra != nullptr; ++i)
        cJSON_AddItemToArray(extra, cJSON_CreateNumber(w.extra[i]));
    return o;
}

cJSON* install_json(const InstanceStatus& st)
{
    const StateFacts& f = st.facts;
    if (!st.trusted || !f.install)
        return cJSON_CreateNull();
    cJSON* o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "code", f.install_code);
    cJSON_AddItemToObject(o, "outcome", f.install_outcome >= 0
                                            ? cJSON_CreateString(INSTALL_OUTCOME_TEXTS[f.install_outcome])
                                            : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "began", time_or_null(st, f.install_began));
    bool ended = f.install_outcome != static_cast<int>(InstallOutcome::running);
    cJSON_AddItemToObject(o, "ended", ended ? time_or_null(st, f.install_ended) : cJSON_CreateNull());
    return o;
}

void add_state_facts(cJSON* o, const InstanceStatus& st)
{
    cJSON* file = cJSON_AddObjectToObject(o, "state_file");
    cJSON_AddItemToObject(file, "path", json_text_of(st.state_path));
    cJSON_AddBoolToObject(file, "trusted", st.trusted);
    cJSON_AddItemToObject(file, "problem", st.state_problem != nullptr ? cJSON_CreateString(st.state_problem)
                                                                       : cJSON_CreateNull());
    cJSON_AddItemToObject(file, "written", st.trusted ? time_or_null(st, st.facts.written) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "pass", number_or_null(static_cast<long long>(st.facts.pass), st.trusted));
    cJSON_AddItemToObject(o, "restart_code", number_or_null(st.facts.restart_code, st.trusted));
    cJSON_AddItemToObject(o, "segv_count", number_or_null(static_cast<long long>(st.facts.segv_count), st.trusted));
    cJSON_AddItemToObject(o, "install", install_json(st));
    cJSON_AddItemToObject(o, "plugwatch_version",
                          st.trusted && st.facts.release[0] ? json_text_of(st.facts.release) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "version_stamp", st.trusted && st.facts.version_stamp[0]
                                                  ? json_text_of(st.facts.version_stamp)
                                                  : cJSON_CreateNull());
    cJSON* deleted = st.trusted && st.facts.record_deleted[0] ? cJSON_CreateObject() : cJSON_CreateNull();
    if (cJSON_IsObject(deleted)) {
        cJSON_AddItemToObject(deleted, "version", json_text_of(st.facts.record_deleted));
        cJSON_AddItemToObject(deleted, "time", time_or_null(st, st.facts.record_deleted_at));
    }
    cJSON_AddItemToObject(o, "record_deleted", deleted);
    const StateFacts& f = st.facts;
    cJSON* refused = cJSON_AddObjectToObject(o, "refused_packages");
    cJSON_AddNumberToObject(refused, "count", static_cast<double>(f.refusals));
    cJSON_AddItemToObject(refused, "last_time", f.refusals != 0 ? time_or_null(st, f.refused_at) : cJSON_CreateNull());
    cJSON_AddItemToObject(refused, "last_reason", f.refusals != 0 ? json_text_of(f.refusal) : cJSON_CreateNull());
}

// A copy of a parsed JSON value with every string and key made valid UTF-8
// (a record is any JSON, and may hold any bytes).
cJSON* utf8_copy(const cJSON* item)
{
    if (cJSON_IsString(item))
        return json_text_of(item->valuestring);
    if (!cJSON_IsArray(item) && !cJSON_IsObject(item))
        return cJSON_Duplicate(item, false);
    cJSON* copy = cJSON_IsArray(item) ? cJSON_CreateArray() : cJSON_CreateObject();
    for (const cJSON* child = item->child; child != nullptr && copy != nullptr; child = child->next) {
        cJSON* value = utf8_copy(child);
        if (cJSON_IsArray(item)) {
            cJSON_AddItemToArray(copy, value);
            continue;
        }
        static char key[SHOWN_SIZE];
        utf8_text(child->string, std::strlen(child->string), key, sizeof key);
        cJSON_AddItemToObject(copy, key, value);
    }
    return copy;
}

} // namespace

cJSON* shared_dir_json(const SharedDir& dir)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "path", UCI_DIR);
    cJSON_AddItemToObject(o, "owner", number_or_null(dir.owner, dir.present));
    std::array<char, 16> mode;
    std::snprintf(mode.data(), mode.size(), "%04o", dir.mode);
    cJSON_AddItemToObject(o, "mode", dir.present ? cJSON_CreateString(mode.data()) : cJSON_CreateNull());
    cJSON* warnings = cJSON_AddArrayToObject(o, "warnings");
    for (int i = 0; i < dir.warning_count && warnings != nullptr; ++i)
        cJSON_AddItemToArray(warnings, cJSON_CreateString(dir.warnings[i]));
    return o;
}

cJSON* instance_json(const InstanceStatus& st)
{
    cJSON* o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddItemToObject(o, "name", json_text_of(st.name));
    cJSON_AddItemToObject(o, "run_file", json_text_of(st.run_file));
    cJSON_AddBoolToObject(o, "running", st.running);
    cJSON_AddItemToObject(o, "pid", number_or_null(st.pid, st.running));
    cJSON_AddItemToObject(o, "started", number_or_null(st.started, st.running && st.started >= 0));
    cJSON_AddItemToObject(o, "directory", st.directory[0] ? json_text_of(st.directory) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "boot", !st.trusted ? cJSON_CreateNull()
                                                 : cJSON_CreateString(st.facts.data_dir == 1 ? "data" : "files"));
    cJSON_AddItemToObject(o, "boot_record", st.boot_record ? utf8_copy(st.boot_record.get()) : cJSON_CreateNull());
    if (st.has_package) {
        cJSON* package = cJSON_AddObjectToObject(o, "package");
        cJSON_AddNumberToObject(package, "bytes", static_cast<double>(st.package_bytes));
        cJSON_AddNumberToObject(package, "mtime", static_cast<double>(st.package_mtime));
        cJSON_AddItemToObject(package, "path", json_text_of(st.package_path));
        cJSON_AddItemToObject(package, "refused_as",
                              st.package_misfit[0] ? json_text_of(st.package_misfit) : cJSON_CreateNull());
        cJSON_AddItemToObject(package, "fits", st.package_owner[0] ? json_text_of(st.package_owner)
                                                                  : cJSON_CreateNull());
    } else {
        cJSON_AddNullToObject(o, "package");
    }
    cJSON_AddItemToObject(o, "package_path", json_text_of(st.own_package));
    cJSON_AddBoolToObject(o, "config_read", st.config != nullptr);
    cJSON_AddItemToObject(o, "config_problem",
                          st.config_problem[0] ? json_text_of(st.config_problem) : cJSON_CreateNull());
    cJSON_AddItemToObject(o, "events_dropped_before",
                          number_or_null(st.summary.dropped_at, st.summary.dropped_at >= 0));
    add_state_facts(o, st);
    cJSON* workers = cJSON_AddArrayToObject(o, "workers");
    for (int i = 0; i < st.worker_count && workers != nullptr; ++i)
        cJSON_AddItemToArray(workers, worker_json(st, st.workers[i]));
    cJSON* others = cJSON_AddArrayToObject(o, "other_pids");
    for (int c = 0; c < st.child_count && others != nullptr; ++c)
        if (st.children[c].worker < 0)
            cJSON_AddItemToArray(others, cJSON_CreateNumber(st.children[c].pid));
    return o;
}
