#include "supervisor/plugin_kill.h"

#include "util/fd_util.h"
#include "util/fixed_paths.h"
#include "util/unique_fd.h"

#include <array>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the kernel keeps of a process's name, terminator excluded.
constexpr size_t COMM_LENGTH = 15;

using path_text = std::array<char, PATH_MAX>;

const char* base_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The plug-in's two directories, by identity: a path names one of them
// whatever links lead there.
struct PluginDirs {
    dev_t dev[2] = {};
    ino_t ino[2] = {};
    int count = 0;
};

void find_plugin_dirs(PluginDirs* dirs)
{
    struct stat st;
    for (const char* dir : {".", DATA_DIR}) {
        if (stat(dir, &st) == 0) {
            dirs->dev[dirs->count] = st.st_dev;
            dirs->ino[dirs->count++] = st.st_ino;
        }
    }
}

// Whether the absolute path lies in one of the plug-in's directories: one
// of its ancestors is one of them. Cuts path down on the way.
bool in_plugin(char* path, const PluginDirs& dirs)
{
    if (path[0] != '/')
        return false;
    for (size_t len = std::strlen(path); len > 1;) {
        while (len > 1 && path[--len] != '/') {
        }
        path[len] = '\0';
        struct stat st;
        if (len == 0 || stat(path, &st) != 0)
            continue;
        for (int i = 0; i < dirs.count; ++i)
            if (st.st_dev == dirs.dev[i] && st.st_ino == dirs.ino[i])
                return true;
    }
    return false;
}

bool read_proc_link(pid_t pid, const char* what, path_text* out)
{
    std::array<char, 64> path;
    std::snprintf(path.data(), path.size(), "/proc/%d/%s", static_cast<int>(pid), what);
    ssize_t n = readlink(path.data(), out->data(), out->size() - 1);
    if (n < 0)
        return false;
    (*out)[static_cast<size_t>(n)] = '\0';
    return true;
}

// The name and parent of a process from /proc/PID/stat: "pid (comm) S ppid".
bool read_name_and_parent(pid_t pid, char* comm, size_t comm_size, pid_t* parent)
{
    std::array<char, 64> path;
    std::array<char, 512> stat;
    std::snprintf(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid));
    if (read_proc_file(path.data(), stat.data(), stat.size()) < 0)
        return false;
    const char* open_paren = std::strchr(stat.data(), '(');
    const char* close_paren = std::strrchr(stat.data(), ')');
    if (open_paren == nullptr || close_paren == nullptr || close_paren < open_paren)
        return false;
    size_t len = static_cast<size_t>(close_paren - open_paren - 1);
    if (len >= comm_size)
        len = comm_size - 1;
    std::memcpy(comm, open_paren + 1, len);
    comm[len] = '\0';
    // ") S ppid": a zombie is already gone.
    if (close_paren[1] != ' ' || close_paren[2] == 'Z' || close_paren[2] == '\0')
        return false;
    *parent = static_cast<pid_t>(leading_number(close_paren + 3));
    return true;
}

// Whether the program path on a command line lies in the plug-in, a
// relative one taken from the process's working directory.
bool program_in_plugin(pid_t pid, const char* program, const PluginDirs& dirs)
{
    if (program[0] == '\0')
        return false;
    path_text joined{};
    if (program[0] != '/') {
        if (!read_proc_link(pid, "cwd", &joined))
            return false;
        size_t used = std::strlen(joined.data());
        std::snprintf(joined.data() + used, joined.size() - used, "/%s", program);
    } else {
        std::snprintf(joined.data(), joined.size(), "%s", program);
    }
    return in_plugin(joined.data(), dirs);
}

bool belongs_to_plugin(pid_t pid, pid_t parent, const char* program, const char* script, const PluginDirs& dirs)
{
    if (parent == getpid())
        return true;
    path_text link{};
    if (read_proc_link(pid, "exe", &link) && in_plugin(link.data(), dirs))
        return true;
    // With a slash added, so that the walk starts at the directory itself.
    size_t len = read_proc_link(pid, "cwd", &link) ? std::strlen(link.data()) : link.size();
    if (len + 1 < link.size()) {
        link[len] = '/';
        link[len + 1] = '\0';
        if (in_plugin(link.data(), dirs))
            return true;
    }
    return program_in_plugin(pid, program, dirs) || program_in_plugin(pid, script, dirs);
}

// Whether process pid carries one of the names and belongs to the plug-in.
bool is_plugin_process(pid_t pid, const char* const* names, int count, const PluginDirs& dirs)
{
    std::array<char, 64> comm{};
    pid_t parent = 0;
    if (!read_name_and_parent(pid, comm.data(), comm.size(), &parent))
        return false;
    // The kernel's name decides for most processes; the command line is
    // read only where it may.
    bool candidate = false;
    for (int i = 0; i < count; ++i)
        candidate = candidate || std::strncmp(comm.data(), names[i], COMM_LENGTH) == 0;
    if (!candidate)
        return false;
    std::array<char, 64> path;
    path_text args{};
    std::snprintf(path.data(), path.size(), "/proc/%d/cmdline", static_cast<int>(pid));
    ssize_t len = read_proc_file(path.data(), args.data(), args.size());
    // Argument zero, and the script an interpreter there would run.
    const char* script = len > 0 ? program_argument(args.data(), static_cast<size_t>(len)) : "";
    bool named = false;
    for (int i = 0; !named && i < count; ++i)
        named = process_has_name(comm.data(), base_name(args.data()), names[i]) ||
                process_has_name(comm.data(), base_name(script), names[i]);
    return named && belongs_to_plugin(pid, parent, args.data(), script, dirs);
}

struct linux_dirent64_head {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

} // namespace

bool process_has_name(const char* comm, const char* program_base, const char* name)
{
    if (std::strlen(name) <= COMM_LENGTH)
        return std::strcmp(comm, name) == 0;
    return std::strncmp(comm, name, COMM_LENGTH) == 0 && std::strcmp(program_base, name) == 0;
}

const char* program_argument(const char* args, size_t len)
{
    const char* end = args + len;
    for (const char* p = args + std::strlen(args) + 1; p < end; p += std::strlen(p) + 1)
        if (p[0] != '-')
            return p;
    return "";
}

int kill_plugin_processes(const char* const* names, int count)
{
    PluginDirs dirs;
    find_plugin_dirs(&dirs);
    if (count <= 0)
        return 0;
    unique_fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc)
        return 0;
    pid_t self = getpid();
    int killed = 0;
    alignas(8) std::array<char, 2048> entries;
    for (;;) {
        long got = syscall(SYS_getdents64, proc.get(), entries.data(), entries.size());
        if (got <= 0)
            break;
        for (long off = 0; off < got;) {
            const auto* entry = reinterpret_cast<const linux_dirent64_head*>(entries.data() + off);
            off += entry->d_reclen;
            auto pid = static_cast<pid_t>(leading_number(entry->d_name));
            if (pid > 0 && pid != self && is_plugin_process(pid, names, count, dirs) && kill(pid, SIGKILL) == 0)
                ++killed;
        }
    }
    return killed;
}
