#include "main/startup.h"

#include "supervisor/config.h"
#include "supervisor/cycle.h"
#include "supervisor/neighbours.h"
#include "supervisor/state_file.h"
#include "util/fd_util.h"
#include "util/run_log.h"
#include "util/shared_texts.h"
#include "watchdog/watchdog.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

void enter_app_directory(const char* program_path)
{
    if (program_path == nullptr)
        return;
    std::array<char, PATH_TEXT_SIZE> copy{};
    std::snprintf(copy.data(), copy.size(), "%s", program_path);
    int ignored = chdir(dirname(copy.data()));
    (void)ignored;
}

int ensure_directory(const char* path)
{
    DIR* dir = opendir(path);
    if (dir != nullptr) {
        closedir(dir);
        return 0;
    }
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return 0;
    std::printf("mkdir (%s) error: %s", path, std::strerror(errno));
    return -1;
}

namespace {

constexpr int RUN_OPEN_FLAGS = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// A regular file at the run-file path that another account made, or that
// has a second name, is not ours: whoever made it could hold its lock for
// ever. Its name is removed and the file made anew, exclusively; what was
// replaced is told in *replaced (owner, links), else it is left untouched.
int open_own_file(const char* path, struct stat* replaced)
{
    int fd = open(path, RUN_OPEN_FLAGS | O_CREAT, 0644);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (st.st_uid == geteuid() && st.st_nlink == 1)
        return fd;
    close(fd);
    *replaced = st;
    if (unlink(path) != 0)
        return -1;
    return open(path, RUN_OPEN_FLAGS | O_CREAT | O_EXCL, 0644);
}

} // namespace

int open_locked_file(const char* path, const char* content, size_t len, struct stat* replaced)
{
    if (path == nullptr) {
        std::puts("NULL file name");
        return -1;
    }
    // Close-on-exec from the start: no fork may ever carry the lock along.
    // The run file lies in a directory every plug-in shares: a link planted
    // there is refused, never followed to truncate or create its target, and
    // so is anything but a regular file (a FIFO would block a later write
    // for good once a pipe's worth of lines were in it).
    replaced->st_nlink = 0;
    int fd = open_own_file(path, replaced);
    if (fd < 0) {
        std::printf("failed to open %s\n", path);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::printf("already in use for %s\n", path);
        close(fd);
        return -1;
    }
    int ignored = ftruncate(fd, 0);
    (void)ignored;
    if (len > 0)
        write_all(fd, content, len);
    return fd;
}

int acquire_run_file(const char* argv0, SupervisorState* state)
{
    std::array<char, PATH_TEXT_SIZE> cwd{};
    if (getcwd(cwd.data(), cwd.size()) == nullptr) {
        std::puts("failed to get current dir");
        return -1;
    }
    struct stat replaced;
    state->run_fd = open_locked_file(state->run_file_path, cwd.data(), std::strlen(cwd.data()), &replaced);
    if (state->run_fd < 0) {
        std::printf("process(%s) already run\n", argv0);
        return -1;
    }
    write_all(state->run_fd, "\n", 1);
    if (replaced.st_nlink != 0)
        write_run_line(state->run_fd, REPLACED_LINE_FORMAT, static_cast<unsigned>(replaced.st_uid),
                       static_cast<unsigned>(replaced.st_nlink));
    return 0;
}

namespace {

// Refuses what the fixed-size path buffers cannot hold, before any of them
// is filled.
void require_program_name(int argc, char** argv)
{
    if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        std::puts("no program name given, cannot name the run file");
        std::exit(0);
    }
    if (std::strlen(argv[0]) >= PATH_TEXT_SIZE) {
        std::printf("program name longer than %d characters\n", PATH_TEXT_SIZE - 1);
        std::exit(0);
    }
}

void form_run_file_path(const char* argv0, SupervisorState* state)
{
    std::array<char, PATH_TEXT_SIZE> copy{};
    std::snprintf(copy.data(), copy.size(), "%s", argv0);
    std::snprintf(state->run_file_path, sizeof state->run_file_path, "%s%s.run", UCI_DIR,
                  basename(copy.data()));
}

void enter_plugin_directory(const char* argv0)
{
    if (std::strchr(argv0, '/') != nullptr) {
        enter_app_directory(argv0);
        return;
    }
    std::array<char, 256> path{};
    std::snprintf(path.data(), path.size(), "%s/%s/files/%s", APPS_ROOT, argv0, argv0);
    enter_app_directory(path.data());
}

} // namespace

int run_supervisor(int argc, char** argv, SupervisorState* state)
{
    close_fds_from(3);
    require_program_name(argc, argv);
    const char* argv0 = argv[0];
    form_run_file_path(argv0, state);
    enter_plugin_directory(argv0);
    if (argc > 1)
        state->daemon_flag = 1;
    if (ensure_directory(UCI_DIR) != 0 || ensure_directory(DATA_DIR) != 0)
        std::exit(0);
    if (load_watch_config("config", state) != 0) {
        std::puts("failed to init daemon");
        std::exit(0);
    }
    if (acquire_run_file(argv0, state) != 0)
        std::exit(0);
    separate_shared_alive_files(state, argv0);
    signal(SIGCHLD, SIG_DFL);
    note_startup(state);
    publish_state(state);
    start_watchdog(state);
    supervise(state);
    return 0;
}
