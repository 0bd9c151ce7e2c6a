#include "status/proc_scan.h"

#include "util/fd_util.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The fields of /proc/PID/stat after the command name, which may itself hold
// spaces and parentheses: they start after its last ')'.
const char* stat_fields(pid_t pid, std::array<char, 1024>* buf)
{
    std::array<char, 64> path;
    std::snprintf(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid));
    if (read_proc_file(path.data(), buf->data(), buf->size()) <= 0)
        return nullptr;
    const char* close = std::strrchr(buf->data(), ')');
    return close != nullptr && close[1] == ' ' ? close + 2 : nullptr;
}

// The n-th space-separated field (from 0) of text, as a number.
long long field(const char* text, int n)
{
    for (int i = 0; i < n && text != nullptr; ++i) {
        text = std::strchr(text, ' ');
        if (text != nullptr)
            ++text;
    }
    return text != nullptr ? std::strtoll(text, nullptr, 10) : -1;
}

} // namespace

pid_t flock_holder(dev_t dev, ino_t ino)
{
    FILE* f = std::fopen("/proc/locks", "re");
    if (f == nullptr)
        return 0;
    std::array<char, 512> line;
    pid_t holder = 0;
    while (holder == 0 && std::fgets(line.data(), line.size(), f) != nullptr) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; blocked
        // waiters carry "->" and are not holders.
        char kind[16], mode[16], access[16];
        int pid = 0;
        unsigned int dev_major = 0, dev_minor = 0;
        unsigned long long inode = 0;
        if (std::strstr(line.data(), "->") != nullptr)
            continue;
        const char* rest = std::strchr(line.data(), ':');
        if (rest != nullptr &&
            std::sscanf(rest + 1, "%15s %15s %15s %d %x:%x:%llu", kind, mode, access, &pid, &dev_major, &dev_minor,
                        &inode) == 7 &&
            std::strcmp(kind, "FLOCK") == 0 && dev_major == major(dev) && dev_minor == minor(dev) &&
            inode == static_cast<unsigned long long>(ino))
            holder = pid;
    }
    std::fclose(f);
    return holder;
}

long long process_start_ticks(pid_t pid)
{
    std::array<char, 1024> buf;
    const char* fields = stat_fields(pid, &buf);
    // starttime is field 22 of the whole line, the 20th after the name.
    return fields != nullptr ? field(fields, 19) : -1;
}

time_t process_start_time(pid_t pid)
{
    // Its start is counted on the boot-time clock: the time since then,
    // taken from now, is its start on the wall clock as it reads now.
    long ticks = sysconf(_SC_CLK_TCK);
    long long start = process_start_ticks(pid);
    struct timespec since_boot;
    if (ticks <= 0 || start < 0 || clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0)
        return -1;
    return time(nullptr) - static_cast<time_t>(since_boot.tv_sec - start / ticks);
}

pid_t process_parent(pid_t pid, bool* zombie)
{
    std::array<char, 1024> buf;
    const char* fields = stat_fields(pid, &buf);
    if (fields == nullptr)
        return -1;
    *zombie = fields[0] == 'Z' || fields[0] == 'X';
    return static_cast<pid_t>(field(fields, 1));
}

bool process_owner(pid_t pid, uid_t* owner)
{
    std::array<char, 32> path;
    std::snprintf(path.data(), path.size(), "/proc/%d", static_cast<int>(pid));
    struct stat st;
    if (stat(path.data(), &st) != 0)
        return false;
    *owner = st.st_uid;
    return true;
}

bool process_comm(pid_t pid, char* buf, size_t size)
{
    std::array<char, 64> path;
    std::snprintf(path.data(), path.size(), "/proc/%d/comm", static_cast<int>(pid));
    long n = read_proc_file(path.data(), buf, size);
    if (n <= 0)
        return false;
    if (buf[n - 1] == '\n')
        buf[n - 1] = '\0';
    return true;
}

long process_cmdline(pid_t pid, char* buf, size_t size)
{
    std::array<char, 64> path;
    std::snprintf(path.data(), path.size(), "/proc/%d/cmdline", static_cast<int>(pid));
    return read_proc_file(path.data(), buf, size);
}

namespace {

// The children lists of parent's threads, or -1 where the kernel keeps none.
int listed_children(pid_t parent, pid_t* out, int max)
{
    std::array<char, 64> path;
    std::snprintf(path.data(), path.size(), "/proc/%d/task", static_cast<int>(parent));
    DIR* tasks = opendir(path.data());
    int count = -1;
    while (struct dirent* e = tasks != nullptr ? readdir(tasks) : nullptr) {
        std::array<char, 64 + 256 + 16> file;
        std::snprintf(file.data(), file.size(), "%s/%s/children", path.data(), e->d_name);
        std::array<char, 4096> text;
        if (e->d_name[0] == '.' || read_proc_file(file.data(), text.data(), text.size()) < 0)
            continue;
        count = count < 0 ? 0 : count;
        for (char* p = text.data(); count < max;) {
            char* end = nullptr;
            long pid = std::strtol(p, &end, 10);
            if (end == p || pid <= 0)
                break;
            out[count++] = static_cast<pid_t>(pid);
            p = end;
        }
    }
    if (tasks != nullptr)
        closedir(tasks);
    return count;
}

} // namespace

int process_children(pid_t parent, pid_t* out, int max)
{
    int count = listed_children(parent, out, max);
    if (count >= 0)
        return count;
    count = 0;
    DIR* dir = opendir("/proc");
    while (struct dirent* e = dir != nullptr && count < max ? readdir(dir) : nullptr) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        bool zombie = false;
        if (end != e->d_name && *end == '\0' && pid > 0 && process_parent(static_cast<pid_t>(pid), &zombie) == parent)
            out[count++] = static_cast<pid_t>(pid);
    }
    if (dir != nullptr)
        closedir(dir);
    return count;
}
