// Installation of the upgrade package a worker leaves in "/tmp/.uci/".
#pragma once

#include "util/fixed_paths.h"

#include <cstddef>

// Installs the waiting package as code asks (130 unpack into "../data/", 131
// copy over "../data//init.bin" with install_copy, 132 nothing), deletes it
// and records what was done in the boot-check record. Does nothing when no
// package is readable.
void apply_upgrade_package(int code);

// Copies every byte of from into to (created 0700 or truncated). Returns 0,
// or -1 when a file cannot be opened (after a message) or a write fails.
int copy_file(const char* from, const char* to);

// Replaces the file at to with a copy of from the way write_whole_file
// replaces a file: the copy is made under a temporary name beside it. Returns
// 0, or -1 with the old file left as it was and no temporary file behind.
int install_copy(const char* from, const char* to);

// Replaces the file at path with len bytes of buf, crash-safely: a temporary
// file beside it is written, flushed to disk and renamed over it. Returns 0,
// or -1 with the old file left as it was.
int write_whole_file(const char* path, const char* buf, size_t len);
