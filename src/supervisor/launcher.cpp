#include "supervisor/launcher.h"

#include "supervisor/state_file.h"
#include "util/fd_util.h"
#include "util/shared_texts.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int ERRNO_TEXTS = 134;
constexpr size_t ERROR_TEXT_ROOM = 96;

// strerror is not async-signal-safe, so the texts the child may need are
// looked up in the parent once. Unknown numbers are left null and spelt out
// by the child itself.
const char* const* errno_texts()
{
    static const char* texts[ERRNO_TEXTS];
    static bool filled = false;
    if (!filled) {
        for (int e = 0; e < ERRNO_TEXTS; ++e) {
            const char* t = std::strerror(e);
            texts[e] = std::strncmp(t, "Unknown error", 13) == 0 ? nullptr : t;
        }
        filled = true;
    }
    return texts;
}

// Appends text to buf at pos without passing end; async-signal-safe.
size_t append_text(char* buf, size_t pos, size_t end, const char* text)
{
    while (*text != '\0' && pos < end)
        buf[pos++] = *text++;
    return pos;
}

size_t append_number(char* buf, size_t pos, size_t end, int value)
{
    char digits[12];
    int n = 0;
    unsigned int v = value < 0 ? 0U - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0 && pos < end)
        buf[pos++] = '-';
    while (n > 0 && pos < end)
        buf[pos++] = digits[--n];
    return pos;
}

// The signal mask the supervisor started with: what every worker gets back.
sigset_t g_start_mask;
// The supervisor's pid, read once: its children check their parent by it.
pid_t g_supervisor_pid;

// Everything the child needs, formed before fork.
struct ChildPlan {
    const char* path;
    struct sigaction pipe_default;
    WorkerArgv args;
    const char* const* texts;
    char* const* envp;
    std::array<char, 8192 + 64 + ERROR_TEXT_ROOM> message;
    size_t prefix_len;
};

// The environment a worker gets: the supervisor's, with extra first (where
// getenv finds it before an inherited entry of that name), in env. Formed
// on the stack, not the heap, where a block kept for good would cost the
// gateway a page in every instance. An environment larger than env holds
// is handed on as it is.
char* const* worker_environment(const char* extra, const char** env, size_t size)
{
    size_t n = 0;
    if (extra != nullptr)
        env[n++] = extra;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (n + 1 == size)
            return environ;
        env[n++] = *e;
    }
    env[n] = nullptr;
    return const_cast<char* const*>(env);
}

[[noreturn]] void run_child(ChildPlan& plan)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The supervisor may have ended before the request above took effect;
    // the signal would then never come, so do not run unsupervised.
    if (getppid() != g_supervisor_pid)
        _exit(0);
    // An ignored signal stays ignored across execv: give the worker the
    // dispositions and mask it would have had without the supervisor's
    // own SIGPIPE setting. vfork's child has its own copies of both.
    sigaction(SIGPIPE, &plan.pipe_default, nullptr);
    sigprocmask(SIG_SETMASK, &g_start_mask, nullptr);
    close_fds_from(3);
    execve(plan.path, const_cast<char* const*>(plan.args.argv.data()), plan.envp);

    int err = errno;
    char* msg = plan.message.data();
    size_t end = plan.message.size() - 1;
    size_t pos = plan.prefix_len;
    if (err >= 0 && err < ERRNO_TEXTS && plan.texts[err] != nullptr) {
        pos = append_text(msg, pos, end, plan.texts[err]);
    } else {
        pos = append_text(msg, pos, end, "Unknown error ");
        pos = append_number(msg, pos, end, err);
    }
    msg[pos++] = '\n';
    write_all(STDOUT_FILENO, msg, pos);
    _exit(129);
}

} // namespace

void ignore_broken_console()
{
    sigprocmask(SIG_SETMASK, nullptr, &g_start_mask);
    g_supervisor_pid = getpid();
    signal(SIGPIPE, SIG_IGN);
}

void build_worker_argv(const char* path, const char* alive_path, int restart_code,
                       int daemon_flag, int data_dir, WorkerArgv* out)
{
    *out = WorkerArgv{};
    auto& v = out->argv;
    int n = 0;
    v[n++] = path;
    if (restart_code != 0) {
        std::snprintf(out->code_text.data(), out->code_text.size(), "%d", restart_code);
        v[n++] = "-r";
        v[n++] = out->code_text.data();
    }
    if (daemon_flag == 1)
        v[n++] = "-d";
    if (alive_path != nullptr && alive_path[0] != '\0') {
        v[n++] = "-A";
        v[n++] = alive_path;
    }
    if (data_dir == 1) {
        for (const char* text : {"-T", UCI_DIR, "-D", DATA_DIR, "-O", PLATFORM_TAG})
            v[n++] = text;
    }
    out->argc = n;
}

pid_t spawn_child(const char* path, const char* alive_path, int restart_code, int daemon_flag,
                  int data_dir, const char* extra_env)
{
    ChildPlan plan;
    plan.path = path;
    const char* env[WORKER_ENV_ENTRIES];
    plan.envp = worker_environment(extra_env, env, WORKER_ENV_ENTRIES);
    plan.pipe_default = {};
    plan.pipe_default.sa_handler = SIG_DFL;
    sigemptyset(&plan.pipe_default.sa_mask);
    build_worker_argv(path, alive_path, restart_code, daemon_flag, data_dir, &plan.args);
    plan.texts = errno_texts();
    int n = std::snprintf(plan.message.data(), plan.message.size() - ERROR_TEXT_ROOM,
                          "failed to exec %s, error is ", path);
    plan.prefix_len = n < 0 ? 0 : std::min(static_cast<size_t>(n), plan.message.size() - ERROR_TEXT_ROOM - 1);

    // Nothing buffered may be written twice by the child or lost.
    std::fflush(nullptr);
    // vfork: the supervisor's page tables are not copied, which is most of
    // the cost of a restart. The child only reads the plan, writes into its
    // message buffer, and ends in execv or _exit, as vfork requires.
    pid_t pid = vfork();
    if (pid < 0) {
        std::puts("failed to fork");
        return -1;
    }
    if (pid == 0)
        run_child(plan);
    return pid;
}

void start_process(SupervisorState* state, int index, int restart_code)
{
    WatchedProcess& slot = state->processes[index];
    // The plug-in's own package path, for the worker kit's staging.
    std::array<char, 320> package;
    int n = std::snprintf(package.data(), package.size(), "%s=", PACKAGE_ENV);
    bool named = beside_run_file(state->run_file_path, PACKAGE_FILE_SUFFIX, package.data() + n, package.size() - n);
    std::array<char, 8192> path;
    if (state->data_dir_mode == 1)
        std::snprintf(path.data(), path.size(), "%s/%s", DATA_DIR, slot.name);
    else
        std::snprintf(path.data(), PATH_TEXT_SIZE, "%s", slot.name);
    slot.pid = spawn_child(path.data(), slot.alive_path, restart_code, state->daemon_flag,
                           state->data_dir_mode == 1 ? 1 : 0, named ? package.data() : nullptr);
}
