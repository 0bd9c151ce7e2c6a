// What /proc tells of a supervisor and its children. Every read tolerates
// entries that vanish or cannot be read (another user's process).
#pragma once

#include <ctime>
#include <sys/types.h>

// The process holding an flock on the file with this device and inode, as
// /proc/locks names it, or 0.
pid_t flock_holder(dev_t dev, ino_t ino);

// The process's start in clock ticks since boot (field 22 of its stat), or
// -1. Unlike the epoch time below, a step of the wall clock never moves it.
long long process_start_ticks(pid_t pid);

// The process's start time in seconds since the epoch, or -1.
time_t process_start_time(pid_t pid);

// The process's parent, or -1 when it is gone, and whether it is a zombie.
pid_t process_parent(pid_t pid, bool* zombie);

// The account the process runs as (the owner of its /proc entry).
bool process_owner(pid_t pid, uid_t* owner);

// The process's name as the kernel keeps it (at most 15 characters).
bool process_comm(pid_t pid, char* buf, size_t size);

// The argument vector, its texts separated by zero bytes; returns the
// length, or -1 when it cannot be read.
long process_cmdline(pid_t pid, char* buf, size_t size);

// The children of parent (of all its threads) from the kernel's own lists,
// at most max into out. False where the kernel keeps no such list (then
// only a walk over every process finds them).
bool process_children(pid_t parent, pid_t* out, int max, int* count);

// Calls visit for every process in /proc; stops early when visit returns false.
template <typename F>
void for_each_process(F visit);

// Implementation detail of for_each_process: the next numeric entry of an
// open /proc listing, or 0 at the end.
pid_t next_process(void* dir);
void* open_process_list();
void close_process_list(void* dir);

template <typename F>
void for_each_process(F visit)
{
    void* dir = open_process_list();
    if (dir == nullptr)
        return;
    for (pid_t pid = next_process(dir); pid > 0; pid = next_process(dir))
        if (!visit(pid))
            break;
    close_process_list(dir);
}
