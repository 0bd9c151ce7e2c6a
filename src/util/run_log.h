// The run file's event log: lines appended by the main thread and the
// watchdog thread through one descriptor, with the file's size capped so that
// years of events never fill the shared /tmp.
#pragma once

#include <array>
#include <cstddef>
#include <sys/types.h>

// The file never grows past this many bytes.
constexpr size_t RUN_LOG_LIMIT = 65536;
// At a cut, the newest event lines that fit in this many bytes are kept.
constexpr size_t RUN_LOG_KEEP = 32768;

// The local time as asctime writes it, without its line end; empty when the
// clock cannot be read.
std::array<char, 64> local_time_text();

// Appends one run-file line at the file's current end (not at the
// descriptor's offset). Drops it when fd <= 0 or fd is no regular file. When
// the line would take the file past RUN_LOG_LIMIT, the file is first cut in
// place (see cut_run_log). A line is written whole or not at all: after a
// short write (a full /tmp) the file is cut back to where it ended. Lines from
// both threads are serialised, so a cut and a line never interleave. Returns
// 0, or -1 when the line was dropped.
int write_run_log(int fd, const char* buf, size_t len);

// Appends the line that format makes of the arguments (as printf; at most
// 12 KiB, a longer one is dropped).
void write_run_line(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Cuts the run file open on fd, whose size is size, to: its first line (the
// working directory), one "<time>: earlier events dropped" line, and the
// newest whole lines that fit in RUN_LOG_KEEP bytes, in order. The file keeps
// its inode, descriptor and lock. Returns the new size, or -1 when the file
// could not be read or written.
off_t cut_run_log(int fd, off_t size);
