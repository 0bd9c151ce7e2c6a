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

// The children of parent (of all its threads), at most max into out; returns
// how many. From the kernel's own lists, or by a walk over every process
// where it keeps none.
int process_children(pid_t parent, pid_t* out, int max);
