// Everything plugwatch-status gathers about one supervisor instance, from its
// run file, /proc, its configuration, its data directory and /tmp/.uci/. It
// only reads.
#pragma once

#include "status/run_lines.h"
#include "supervisor/state.h"
#include "util/json_file.h"

#include <ctime>
#include <sys/types.h>

constexpr int MAX_CHILDREN = 32;
constexpr int MAX_EXTRA = 8;

struct ChildProcess {
    pid_t pid = 0;
    time_t started = -1;
    char args[1024] = {};   // the argument vector, texts separated by zero bytes
    long args_len = 0;
    long options_at = -1;   // offset of the first option, once matched
    char comm[32] = {};
    int slot = -1;          // the worker it runs, or -1
};

struct WorkerStatus {
    const char* name = nullptr;
    int child = -1;         // index into the children when up
    int restart_code = 0;
    bool keeps_alive = false;
    char alive_path[PATH_TEXT_SIZE + 16] = {};
    time_t alive_mtime = -1;  // -1: missing
    WorkerEnds ends;
    time_t restart_due = -1;
    pid_t extra[MAX_EXTRA] = {};
    int extra_count = 0;
};

struct InstanceStatus {
    char name[256] = {};
    char run_file[PATH_TEXT_SIZE + 16] = {};
    bool run_file_exists = false;
    bool running = false;
    pid_t pid = 0;
    time_t started = -1;
    time_t now = 0;
    char directory[PATH_TEXT_SIZE] = {};
    int boot = -1;                // 0 files, 1 data, -1 unknown
    json_ptr boot_record;
    bool has_package = false;
    long long package_bytes = 0;
    time_t package_mtime = -1;
    bool config_ok = false;
    SupervisorState config;
    int worker_count = 0;
    WorkerStatus workers[MAX_PROCESSES + MAX_CHILDREN];
    ChildProcess children[MAX_CHILDREN];
    int child_count = 0;
    RunFileSummary summary;
    char* text = nullptr;         // the run file as read (heap)
    size_t text_len = 0;
    const char* problem = nullptr; // why the run file could not be read
};

// The instance a command-line operand names: a bare name, or a program path
// whose base name is taken as the supervisor takes it.
void instance_name(const char* operand, char* name, size_t size);

// Fills st for the instance called name; st must be freshly constructed.
// Returns false when no run file of that name exists.
bool gather_instance(const char* name, InstanceStatus* st);

// Releases the run file's text.
void release_instance(InstanceStatus* st);

// 0 every worker up, 1 a worker down, 3 not running.
int instance_exit_status(const InstanceStatus& st);
