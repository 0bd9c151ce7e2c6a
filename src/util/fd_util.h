// Descriptor helpers shared by start-up, the launcher, the reaping loop and
// the watchdog.
#pragma once

#include <sys/types.h>
#include <cstddef>

// Writes all of buf, continuing short writes and retrying EINTR.
// Returns 0, or -1 with errno set.
int write_all(int fd, const void* buf, size_t len);

// Reads up to len bytes, retrying EINTR. Returns the count read (0 at end of
// file) or -1.
ssize_t read_retry(int fd, void* buf, size_t len);

// pread that retries EINTR. Returns the count read (0 at end of file) or -1.
ssize_t pread_retry(int fd, void* buf, size_t len, off_t offset);

// pwrite of all of buf at offset, continuing short writes and retrying
// EINTR. Returns 0, or -1.
int pwrite_all(int fd, const void* buf, size_t len, off_t offset);

// Reads a small file (a /proc entry) into buf, terminated: one read gives
// all of it that fits. Returns its length, or -1.
ssize_t read_proc_file(const char* path, char* buf, size_t size);

// The decimal number at text, up to its first non-digit; 0 for none. For
// the kernel's own texts (/proc), which never pass 64 bits.
unsigned long long leading_number(const char* text);

// The open-files limit (the soft RLIMIT_NOFILE, as sysconf(_SC_OPEN_MAX)
// reports it), or -1 when it is unlimited or unknown.
long open_files_limit();

// Closes every descriptor from start up, ignoring errors. Async-signal-safe:
// the worker launcher's child calls it between fork and exec. One
// close_range where the kernel has it, so neither a huge open-files limit
// nor reading it costs anything; else one close per number below the limit.
void close_fds_from(int start);
