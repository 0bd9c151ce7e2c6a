// Everything plugwatch-status gathers about one supervisor instance: read
// (the state file, the run file, the plug-in's config and data directory),
// then checked against /proc. It only reads.
#pragma once

#include "status/run_lines.h"
#include "status/state_reader.h"
#include "supervisor/state.h"
#include "util/json_file.h"

#include <ctime>
#include <sys/types.h>

constexpr int MAX_CHILDREN = 32;
constexpr int MAX_EXTRA = 8;

enum class WorkerState { up, waiting, ended, installing, down, unknown };

struct ChildProcess {
    pid_t pid = 0;
    char args[1024] = {};   // the argument vector, texts separated by zero bytes
    long args_len = 0;
    char comm[32] = {};
    int worker = -1;        // the worker whose pid it is, or -1
};

struct WorkerStatus {
    const char* name = nullptr;
    WorkerState state = WorkerState::unknown;
    const StateWorker* facts = nullptr;  // nullptr without a trusted state file
    int child = -1;                      // index into the children, when its pid is one
    const char* alive_path = nullptr;    // from its options
    time_t alive_mtime = -1;             // -1: missing
    pid_t extra[MAX_EXTRA] = {};
    int extra_count = 0;
};

struct SharedDir {
    bool present = false;
    bool link = false;
    uid_t owner = 0;
    unsigned int mode = 0;
    const char* warnings[3] = {};
    int warning_count = 0;
};

struct InstanceStatus {
    char name[256] = {};
    char run_file[PATH_TEXT_SIZE + 16] = {};
    uid_t run_owner = 0;
    char state_path[PATH_TEXT_SIZE + 16] = {};
    bool running = false;
    pid_t pid = 0;
    time_t started = -1;
    time_t now = 0;
    long long now_mono = 0;
    // Whether the state file's monotonic stamps are on this machine's clock
    // (not under a time-shifting library, for instance); else the epoch
    // times are taken as written.
    bool mono_ok = false;
    char directory[PATH_TEXT_SIZE] = {};
    json_ptr boot_record;
    char own_package[256 + 32] = {};    // this instance's own package path
    bool has_package = false;           // at its own path, else at the shared one
    char package_path[256 + 32] = {};
    long long package_bytes = 0;
    time_t package_mtime = -1;
    char package_misfit[160] = {};      // why it would refuse a shared one
    char package_owner[256] = {};       // the instance it looks like it is for
    json_ptr config;                    // as the supervisor would take it, else nothing
    char config_problem[160] = {};      // why the supervisor would refuse the config now
    bool trusted = false;               // the state file's facts are used
    const char* state_problem = nullptr; // why not
    StateFacts facts;
    int worker_count = 0;
    WorkerStatus workers[MAX_PROCESSES];
    ChildProcess children[MAX_CHILDREN];
    int child_count = 0;
    RunFileSummary summary;
    malloc_ptr text;              // the run file as read
    size_t text_len = 0;
    const char* problem = nullptr; // why the run file could not be read
};

// The instance a command-line operand names: a bare name, or a program path
// whose base name is taken as the supervisor takes it.
void instance_name(const char* operand, char* name, size_t size);

// Fills st for the instance called name; st must be freshly constructed.
// Returns false when no run file of that name exists.
bool gather_instance(const char* name, InstanceStatus* st);

// 0 every worker up, 1 a worker not up (or unknown), 3 not running.
int instance_exit_status(const InstanceStatus& st);

// The epoch time of a stamp of the state file: by its monotonic part and the
// clocks now, which a clock step since does not move; or as written.
long long epoch_of(const InstanceStatus& st, const StateTime& t);

// The state of /tmp/.uci/ itself.
void check_shared_dir(SharedDir* dir);

const char* worker_state_text(WorkerState state);
